#include "line_settings.h"

#include <algorithm>
#include <string>
#include <vector>

#include "convert.h"
#include "errors.h"

namespace core {

namespace {

bool AllDigits(std::wstring_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

[[noreturn]] void RefuseSettings(std::wstring_view text, const wchar_t* why) {
    Throw(kInvalidPropertyValue, L"Invalid property value: Settings \"" + std::wstring(text) + L"\" " + why +
                                     L" (expected baud,parity,data,stop such as 9600,N,8,1)");
}

}  // namespace

LineSettings LineSettings::Parse(std::wstring_view text) {
    std::vector<std::wstring_view> fields;
    for (std::wstring_view rest = text;;) {
        const size_t comma = rest.find(L',');
        fields.push_back(Trim(rest.substr(0, comma)));
        if (comma == std::wstring_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    if (fields.size() != 4) RefuseSettings(text, L"does not have four fields");
    if (!AllDigits(fields[0]) || fields[0].size() > 9) RefuseSettings(text, L"has no valid baud rate");
    if (fields[1].size() != 1 || std::wstring_view(L"NEOMSneoms").find(fields[1][0]) == std::wstring_view::npos)
        RefuseSettings(text, L"has no valid parity (N, E, O, M or S)");
    if (fields[2].size() != 1 || fields[2][0] < L'4' || fields[2][0] > L'8')
        RefuseSettings(text, L"has no valid data bits (4 to 8)");
    if (fields[3] != L"1" && fields[3] != L"1.5" && fields[3] != L"2")
        RefuseSettings(text, L"has no valid stop bits (1, 1.5 or 2)");

    // The platform reads the checked text into a DCB; what it refuses, we refuse.
    std::wstring canonical;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) canonical += L',';
        canonical += fields[i];
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!BuildCommDCBW(canonical.c_str(), &dcb) || dcb.BaudRate == 0)
        RefuseSettings(text, L"is not accepted by the system");

    LineSettings settings;
    settings.baud = dcb.BaudRate;
    settings.parity = dcb.Parity;
    settings.dataBits = dcb.ByteSize;
    settings.stopBits = dcb.StopBits;
    return settings;
}

unsigned LineSettings::BitsPerByte() const noexcept {
    return 1 + dataBits + (parity == NOPARITY ? 0 : 1) + (stopBits == ONESTOPBIT ? 1 : 2);
}

}  // namespace core
