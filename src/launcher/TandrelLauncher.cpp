// Keeps the service armed for the whole logon session on Windows: starts
// tandrel-service.exe from this program's own folder with no console window
// and its standard streams on NUL, waits for it to end (after a launch, or
// when no port is there), pauses and starts it again.
//
// A GUI-subsystem program, so nothing shows; one per logon session. It ends
// only when the service cannot be started at all, so that a missing or broken
// installation does not spin.
#include <windows.h>

#include <string>

namespace {

// The pause between two runs: after a launch the port is free again at once,
// and a missing device is looked for no more than once per pause.
constexpr DWORD kPauseMs = 2000;

// The Local\ namespace is the logon session's own, so each user who is logged
// on gets one launcher.
constexpr wchar_t kMutexName[] = L"Local\\TandrelLauncher";

constexpr int kAlreadyRunning = 0;
constexpr int kCannotStartService = 1;

// The full path of tandrel-service.exe beside this program; "" on failure.
std::wstring ServicePath() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return L"";
    path.resize(length);
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return L"";
    return path.substr(0, slash + 1) + L"tandrel-service.exe";
}

HANDLE OpenNul(DWORD access) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    return CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                       nullptr);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // DLLs come from System32 only, never from this folder or the current one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    const HANDLE mutex = CreateMutexW(nullptr, TRUE, kMutexName);
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) return kAlreadyRunning;

    // By full path: CreateProcess given an application name searches nothing.
    const std::wstring service = ServicePath();
    if (service.empty()) return kCannotStartService;

    // The launcher and the service it starts work from the system folder: a
    // process's current directory cannot be removed, so neither the install
    // folder nor the one the launcher was started from is held.
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !SetCurrentDirectoryW(system)) return kCannotStartService;

    const HANDLE input = OpenNul(GENERIC_READ);
    const HANDLE output = OpenNul(GENERIC_WRITE);
    if (input == INVALID_HANDLE_VALUE || output == INVALID_HANDLE_VALUE) return kCannotStartService;

    for (;;) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input;
        startup.hStdOutput = output;
        startup.hStdError = output;
        std::wstring commandLine = L"\"" + service + L"\"";
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(service.c_str(), &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, system,
                            &startup, &process)) {
            return kCannotStartService;
        }
        CloseHandle(process.hThread);
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hProcess);
        Sleep(kPauseMs);
    }
}
