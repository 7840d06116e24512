// The C++ runtime goes into each library statically, and with it a private
// copy of the threads library (winpthreads). The first time a thread throws
// an exception in this library (exception state is per thread), that copy
// takes a thread-local storage index and gives the thread a record with two
// handles. It gives a record back when its thread ends, and the index never.
// A host that loads and unloads the library again and again (COM frees
// unused libraries whenever nothing holds them) would run out of the
// process's thousand-odd indexes, and the next load would abort.
#include "thread_runtime.h"

#include <pthread.h>

extern "C" {
// The threads library's own, declared in headers MinGW does not ship: the
// record of a thread by its id, and the hook it runs when a thread ends.
struct _pthread_v;
_pthread_v* __pth_gpointer_locked(pthread_t id);
extern const PIMAGE_TLS_CALLBACK __xl_f;
}

namespace core {

namespace {

// TLS_MINIMUM_AVAILABLE and the expansion slots: every index a process has.
constexpr DWORD kTlsIndexes = 64 + 1024;

}  // namespace

void ReleaseThreadRuntime(HINSTANCE module) noexcept {
    // pthread_self() gives this thread a record (and the library its index)
    // if it had none; the index is the slot that holds the record.
    _pthread_v* const record = __pth_gpointer_locked(pthread_self());
    if (record == nullptr) return;
    DWORD index = TLS_OUT_OF_INDEXES;
    for (DWORD i = 0; i < kTlsIndexes && index == TLS_OUT_OF_INDEXES; ++i) {
        if (TlsGetValue(i) == record) index = i;
    }
    // As when the thread ends: the record's handles close and its slot empties.
    __xl_f(module, DLL_THREAD_DETACH, nullptr);
    if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
}

}  // namespace core
