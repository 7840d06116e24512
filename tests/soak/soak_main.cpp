// make soak: the controls under load and faults, as a table of measures with
// their bounds. soak.exe [--scale <share of the full run>] [--seed <n>]; the
// full run (scale 1) takes some minutes and runs on demand, the test suite
// runs a short one against the same bounds. Exit code 1 when a bound fails.
// Run under the harness: COM5 <-> COM6 and both controls registered.
#include <winsock2.h>
#include <windows.h>
#include <ole2.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "phases.h"
#include "scoped.h"

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int argc = 0;
    const core::UniqueValue<LPWSTR*, &LocalFree> arguments(CommandLineToArgvW(GetCommandLineW(), &argc));
    LPWSTR* const argv = arguments.Get();
    soak::Settings settings;
    settings.seed = GetTickCount64() % 1000000;
    int unloadRounds = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        if (option == L"--scale") {
            settings.scale = std::wcstod(argv[i + 1], nullptr);
        } else if (option == L"--seed") {
            settings.seed = std::wcstoull(argv[i + 1], nullptr, 10);
        } else if (option == L"--unload-child") {
            unloadRounds = std::wcstol(argv[i + 1], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: soak.exe [--scale <share>] [--seed <n>]\n");
            return 2;
        }
    }
    if (FAILED(OleInitialize(nullptr))) return 2;
    if (unloadRounds >= 0) return soak::UnloadLoopChild(unloadRounds);

    std::printf("soak: seed %llu, scale %g (repeat with --seed %llu --scale %g)\n",
                static_cast<unsigned long long>(settings.seed), settings.scale,
                static_cast<unsigned long long>(settings.seed), settings.scale);
    soak::Table table;
    const ULONGLONG started = GetTickCount64();
    // The unload loop first, in its own process; then the stream phase, while
    // the peak of private memory is still the one of a fresh process.
    const struct {
        const char* name;
        void (*run)(const soak::Settings&, soak::Table&);
    } phases[] = {{"unload loop", soak::UnloadLoop},
                  {"stream load", soak::StreamLoad},
                  {"resources", soak::Resources},
                  {"serial", soak::SerialPrints},
                  {"network", soak::NetworkJobs}};
    for (const auto& phase : phases) {
        const ULONGLONG phaseStarted = GetTickCount64();
        phase.run(settings, table);
        std::printf("soak: %s took %llu s\n", phase.name,
                    static_cast<unsigned long long>((GetTickCount64() - phaseStarted) / 1000));
    }
    std::printf("soak: %llu s in all\n", static_cast<unsigned long long>((GetTickCount64() - started) / 1000));
    const bool ok = table.Print();
    OleUninitialize();
    return ok ? 0 : 1;
}
