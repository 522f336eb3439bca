// Test-only helper for the end-to-end suite, run under Wine:
//   service_test_tool hold RELEASE PATH...      opens each PATH as a user would to keep it from
//                                               moving (all sharing but delete), prints "held",
//                                               and keeps the handles until RELEASE exists (60 s at most)
//   service_test_tool preshutdown NAME [MS]     sets the service's pre-shutdown time-out when MS
//                                               is given, then prints the configured value
//   service_test_tool status NAME               prints "state=<n> win32=<n>" of the service
// Exit code 0 on success, 1 on a failed call, 2 on bad arguments.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

int Hold(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    std::vector<HANDLE> held;
    for (int i = 3; i < argc; ++i) {
        HANDLE h = CreateFileW(argv[i], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            std::printf("cannot open %ls: %lu\n", argv[i], GetLastError());
            return 1;
        }
        held.push_back(h);
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (int i = 0; i < 600 && GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
    for (HANDLE h : held) CloseHandle(h);
    return 0;
}

struct Service {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    ~Service() {
        if (service) CloseServiceHandle(service);
        if (manager) CloseServiceHandle(manager);
    }
};

bool Open(const wchar_t* name, DWORD access, Service& s) {
    s.manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (s.manager) s.service = OpenServiceW(s.manager, name, access);
    if (!s.service) std::printf("cannot open service %ls: %lu\n", name, GetLastError());
    return s.service != nullptr;
}

int Preshutdown(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    Service s;
    if (!Open(argv[2], SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG, s)) return 1;
    if (argc > 3) {
        SERVICE_PRESHUTDOWN_INFO wanted{static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10))};
        if (!ChangeServiceConfig2W(s.service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &wanted)) return 1;
    }
    SERVICE_PRESHUTDOWN_INFO info{};
    DWORD needed = 0;
    if (!QueryServiceConfig2W(s.service, SERVICE_CONFIG_PRESHUTDOWN_INFO, reinterpret_cast<LPBYTE>(&info), sizeof(info),
                              &needed)) {
        return 1;
    }
    std::printf("%lu\n", info.dwPreshutdownTimeout);
    return 0;
}

int Status(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    Service s;
    if (!Open(argv[2], SERVICE_QUERY_STATUS, s)) return 1;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(s.service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                              &needed)) {
        return 1;
    }
    std::printf("state=%lu win32=%lu\n", status.dwCurrentState, status.dwWin32ExitCode);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    if (std::wcscmp(argv[1], L"hold") == 0) return Hold(argc, argv);
    if (std::wcscmp(argv[1], L"preshutdown") == 0) return Preshutdown(argc, argv);
    if (std::wcscmp(argv[1], L"status") == 0) return Status(argc, argv);
    return 2;
}
