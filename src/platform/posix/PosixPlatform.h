#pragma once

#include <termios.h>

#include <string>

#include "Platform.h"

// Linux: serial devices are found in sysfs and opened from /dev. Both roots
// are parameters so that tests can point them at a fixture tree.
class PosixPlatform : public Platform {
public:
    PosixPlatform(std::string sysClassTty, std::string devDir);

    bool IsComPortPresent(int number) override;
    std::string DevicePath(int number) override;
    std::unique_ptr<SerialPort> OpenPort(const std::string& path) override;
    bool LaunchFileManager() override;

private:
    std::string sysClassTty;
    std::string devDir;
};

// The tty name behind COM port `number` ("ttyACM0" for COM65), or "" for a
// number that no tty family uses. The table is fixed, so a device keeps its
// number across restarts whatever else is plugged in.
std::string ComPortTtyName(int number);

// Turns `settings` into the service's line: raw, 9600 baud in and out, 8 data
// bits, no parity, one stop bit, no flow control, reads that do not wait.
void MakeServiceLineSettings(termios& settings);

// Milliseconds on a clock that never jumps, for bounding waits.
long long MonotonicMs();

// Lowers the modem control lines `lines` (TIOCM_* bits) of the tty `fd`;
// 0 on success, -1 with errno where the port has no such lines.
using ModemLineControl = int (*)(int fd, int lines);
int ClearModemLines(int fd, int lines);

// Opens `path` as the service's port: read/write, not as a controlling
// terminal, not inherited by launched programs, and exclusive (TIOCEXCL and an
// flock, which also holds against root). Setting the line settings also drops
// DTR and RTS through `clearModemLines`. Null on failure.
std::unique_ptr<SerialPort> OpenExclusivePort(const std::string& path,
                                              ModemLineControl clearModemLines = ClearModemLines);
