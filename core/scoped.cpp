#include "scoped.h"

#include <new>

namespace core {

ScopedBstr ScopedBstr::Copy(std::wstring_view text) {
    BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (copy == nullptr) throw std::bad_alloc();
    return ScopedBstr(copy);
}

}  // namespace core
