#pragma once

#include <windows.h>
#include <shellapi.h>

#include "Platform.h"

// Windows: COM ports are the DOS device names COM0..COM254, opened through
// "\\.\COMn".
class Win32Platform : public Platform {
public:
    // How a device name is looked up; QueryDosDeviceA unless a test says otherwise.
    using DosDeviceQuery = DWORD(WINAPI*)(LPCSTR name, LPSTR target, DWORD size);
    // How the file manager is started; ShellExecuteA unless a test says otherwise.
    using ShellExecuteFunction = HINSTANCE(WINAPI*)(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                                    LPCSTR directory, INT show);

    explicit Win32Platform(DosDeviceQuery query = QueryDosDeviceA, ShellExecuteFunction execute = ShellExecuteA)
        : query(query), execute(execute) {}

    bool IsComPortPresent(int number) override;
    std::string DevicePath(int number) override;
    std::unique_ptr<SerialPort> OpenPort(const std::string& path) override;
    bool LaunchFileManager() override;

private:
    DosDeviceQuery query;
    ShellExecuteFunction execute;
};

// The records the port is configured with: zeroed, then the service's values.
COMMTIMEOUTS ServiceTimeouts();
DCB ServiceLineSettings();
