// What the threads library linked into each control library keeps per thread,
// given back when the library unloads.
#pragma once

#include <windows.h>

namespace core {

// Called while the library unloads (not at process exit), on the unloading
// thread: that thread's record in the threads library, with its handles and
// exception state, and the library's thread-local storage index go.
void ReleaseThreadRuntime(HINSTANCE module) noexcept;

}  // namespace core
