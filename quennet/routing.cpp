#include "routing.h"

#include "../core/convert.h"

namespace quennet {

bool SelectsParallelPort(const VARIANT& mode) {
    if (core::IsNull(mode)) return false;
    const core::TextArgument text(mode, L"lsPrint_Mode");
    return core::Trim(text.View()) == L"LPT";
}

}  // namespace quennet
