#pragma once

#include <windows.h>

#include "Platform.h"

// Windows: COM ports are the DOS device names COM0..COM254, opened through
// "\\.\COMn".
class Win32Platform : public Platform {
public:
    // How a device name is looked up; QueryDosDeviceA unless a test says otherwise.
    using DosDeviceQuery = DWORD(WINAPI*)(LPCSTR name, LPSTR target, DWORD size);

    explicit Win32Platform(DosDeviceQuery query = QueryDosDeviceA) : query(query) {}

    bool IsComPortPresent(int number) override;
    std::string DevicePath(int number) override;
    std::unique_ptr<SerialPort> OpenPort(const std::string& path) override;
    bool LaunchFileManager() override;

private:
    DosDeviceQuery query;
};

// The records the port is configured with: zeroed, then the service's values.
COMMTIMEOUTS ServiceTimeouts();
DCB ServiceLineSettings();
