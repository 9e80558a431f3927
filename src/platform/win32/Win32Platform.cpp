#include <windows.h>

#include <cstdio>

#include "Win32Platform.h"

// The record's layout is fixed by the port driver's interface: 28 bytes on
// x86-64 as on x86.
static_assert(sizeof(DCB) == 28, "DCB must be 28 bytes");

namespace {

class Win32SerialPort : public SerialPort {
public:
    explicit Win32SerialPort(HANDLE handle) : handle(handle) {}
    ~Win32SerialPort() override { Close(); }

    bool SetTimeouts() override {
        COMMTIMEOUTS timeouts = ServiceTimeouts();
        return SetCommTimeouts(handle, &timeouts) != 0;
    }

    bool SetLineSettings() override {
        DCB settings = ServiceLineSettings();
        return SetCommState(handle, &settings) != 0;
    }

    ReadResult ReadByte(unsigned char& buffer) override {
        DWORD received = 0;
        if (!ReadFile(handle, &buffer, 1, &received, nullptr)) return ReadResult::kFailed;
        return received == 1 ? ReadResult::kByte : ReadResult::kTimeout;
    }

    // Every read goes to the driver: nothing is held here between reads.
    bool HasPendingInput() const override { return false; }

    void Close() override {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle;
};

}  // namespace

COMMTIMEOUTS ServiceTimeouts() {
    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kReadTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    return timeouts;
}

DCB ServiceLineSettings() {
    // Everything not set here stays 0: no parity checking, no CTS, DSR or
    // XON/XOFF flow control, DTR and RTS control disabled. The port's current
    // settings are not read first.
    DCB settings;
    ZeroMemory(&settings, sizeof settings);
    settings.DCBlength = sizeof settings;
    settings.BaudRate = kBaudRate;
    settings.ByteSize = kDataBits;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    return settings;
}

bool Win32Platform::IsComPortPresent(int number) {
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", number);
    // Only whether the name is a defined device matters, not its mapping.
    char target[5000];
    return query(name, target, sizeof target) != 0;
}

std::string Win32Platform::DevicePath(int number) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", number);
    return path;
}

std::unique_ptr<SerialPort> Win32Platform::OpenPort(const std::string& path) {
    // Share mode 0: exclusive. Flags 0: ordinary blocking reads.
    const HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32SerialPort>(handle);
}

bool Win32Platform::LaunchFileManager() {
    // "cmd" is looked for in the current directory before the system's, and
    // cmd looks for "explorer" there too: from a folder such as Downloads a
    // planted cmd.exe or explorer.exe would run. From the system folder both
    // lookups find Windows' own programs.
    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, sizeof system);
    if (length == 0 || length >= sizeof system || !SetCurrentDirectoryA(system)) return false;
    const HINSTANCE result = execute(GetDesktopWindow(), "open", "cmd", "/c explorer", nullptr, SW_SHOW);
    // Values above 32 mean success; the rest are error codes.
    return reinterpret_cast<INT_PTR>(result) > 32;
}

void PrepareProcess() {
    // Every DLL loaded from here on comes from System32 only, never from the
    // folder of the .exe or the current directory, where someone could have
    // planted one. shell32 and user32 are delay-loaded (see the build), so
    // they and what they pull in are loaded under this rule too.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

Platform& SystemPlatform() {
    static Win32Platform platform;
    return platform;
}
