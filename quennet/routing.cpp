#include "routing.h"

#include <string>
#include <string_view>

#include "../core/convert.h"
#include "../core/parallel_port.h"

namespace quennet {

bool SelectsParallelPort(const VARIANT& mode) {
    if (core::IsNull(mode)) return false;
    const core::TextArgument text(mode, L"lsPrint_Mode");
    std::wstring_view view = text.View();
    const size_t first = view.find_first_not_of(L' ');
    if (first == std::wstring_view::npos) return false;
    view = view.substr(first, view.find_last_not_of(L' ') - first + 1);
    return view == L"LPT";
}

void PrintToParallelPort(const wchar_t* device, const VARIANT& commandStream) {
    core::ParallelPort port(device);
    std::string bytes;
    core::ToWireBytes(commandStream, L"lsCommandLine", bytes);
    port.Write(bytes.data(), bytes.size());
    port.Close();
}

}  // namespace quennet
