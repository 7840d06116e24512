// Harness self-check: what a Windows program writes to one port arrives at its peer.
// port_loop <from>:<to>[:bytes] ...: for each pair, opens both ports through the
// Win32 API, writes a pattern to <from>, reads it back from <to> and compares.
// A <to> of "-" only writes (the peer is read from Linux). Exit 0 when every
// pair matched byte for byte, 1 otherwise (with the reason on stderr).
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static HANDLE open_port(const char* name, int serial) {
    char path[64];
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "CreateFile(%s) failed: %lu\n", path, GetLastError());
        return h;
    }
    if (serial) {
        DCB dcb;
        memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!BuildCommDCBA("9600,N,8,1", &dcb) || !SetCommState(h, &dcb)) {
            fprintf(stderr, "setting up %s failed: %lu\n", name, GetLastError());
            CloseHandle(h);
            return INVALID_HANDLE_VALUE;
        }
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = 0;
        t.ReadTotalTimeoutConstant = 3000;
        t.WriteTotalTimeoutConstant = 3000;
        SetCommTimeouts(h, &t);
    }
    return h;
}

static int check_pair(const std::string& from_name, const std::string& to_name, size_t n) {
    std::vector<char> out(n), in(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>('A' + (i * 7) % 26);
    const bool serial = from_name.compare(0, 3, "COM") == 0;

    HANDLE to = INVALID_HANDLE_VALUE;
    if (to_name != "-") {
        to = open_port(to_name.c_str(), 1);
        if (to == INVALID_HANDLE_VALUE) return 1;
    }
    HANDLE from = open_port(from_name.c_str(), serial);
    if (from == INVALID_HANDLE_VALUE) return 1;

    DWORD written = 0;
    if (!WriteFile(from, out.data(), static_cast<DWORD>(n), &written, NULL) || written != n) {
        fprintf(stderr, "%s: WriteFile wrote %lu of %lu: %lu\n", from_name.c_str(), written,
                static_cast<unsigned long>(n), GetLastError());
        return 1;
    }
    CloseHandle(from);
    if (to == INVALID_HANDLE_VALUE) {
        printf("%s: %lu bytes written\n", from_name.c_str(), static_cast<unsigned long>(n));
        return 0;
    }
    size_t got = 0;
    while (got < n) {
        DWORD r = 0;
        if (!ReadFile(to, in.data() + got, static_cast<DWORD>(n - got), &r, NULL)) {
            fprintf(stderr, "%s: ReadFile failed after %lu bytes: %lu\n", to_name.c_str(),
                    static_cast<unsigned long>(got), GetLastError());
            return 1;
        }
        if (r == 0) {
            fprintf(stderr, "%s: timed out after %lu of %lu bytes\n", to_name.c_str(), static_cast<unsigned long>(got),
                    static_cast<unsigned long>(n));
            return 1;
        }
        got += r;
    }
    CloseHandle(to);
    if (in != out) {
        fprintf(stderr, "%s -> %s: bytes differ\n", from_name.c_str(), to_name.c_str());
        return 1;
    }
    printf("%s -> %s: %lu bytes arrived intact\n", from_name.c_str(), to_name.c_str(), static_cast<unsigned long>(n));
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: port_loop <from>:<to>[:bytes] ...\n");
        return 2;
    }
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        size_t c1 = arg.find(':');
        if (c1 == std::string::npos) {
            fprintf(stderr, "bad pair '%s'\n", argv[i]);
            return 2;
        }
        size_t c2 = arg.find(':', c1 + 1);
        std::string from = arg.substr(0, c1);
        std::string to = arg.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
        size_t n = c2 == std::string::npos ? 1000 : std::strtoul(arg.c_str() + c2 + 1, nullptr, 10);
        failures += check_pair(from, to, n);
    }
    return failures == 0 ? 0 : 1;
}
