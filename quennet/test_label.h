// The test label the panel's buttons print: four lines, each ending in
// CR LF, 92 ASCII characters in all. It opens a label format, sets the
// default font, erases stored graphics, sets the normal orientation, places
// a Code 39 bar code of ABCDEFG1234567000ABCDE at 40,30 and ends the format.
#pragma once

#include <string>
#include <string_view>

namespace quennet {

inline constexpr std::wstring_view kTestLabelLines[] = {
    L"^XA^CFD^EG^FS",
    L"^XA^PON^FS",
    L"^FO40,30^BY1,2.4^B3N,N,50,Y,,N^FDABCDEFG1234567000ABCDE^FS",
    L"^XZ",
};
inline constexpr std::wstring_view kLineEnd = L"\r\n";

// The whole label as one text, each line followed by CR LF.
inline std::wstring TestLabelText() {
    std::wstring text;
    for (std::wstring_view line : kTestLabelLines) {
        text += line;
        text += kLineEnd;
    }
    return text;
}

}  // namespace quennet
