#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Everything the service needs of the operating system. The build links in one
// implementation per platform (src/platform/<name>/); the service flow and the
// detector know the outside world only through these two classes.

// The line the device speaks: 9600 baud, 8 data bits, no parity, one stop bit,
// no flow control. A read waits at most kReadTimeoutMs for a byte; the service
// never writes, but a write would give up after kWriteTimeoutMs.
constexpr std::uint32_t kBaudRate = 9600;
constexpr std::uint8_t kDataBits = 8;
constexpr std::uint32_t kReadTimeoutMs = 200;
constexpr std::uint32_t kWriteTimeoutMs = 100;

enum class ReadResult {
    kByte,     // a byte arrived and is in the buffer
    kTimeout,  // nothing arrived within the read timeout; the buffer is as it was
    kFailed,   // the port is gone or broken (hangup, device removed)
};

// An open serial port, opened exclusively.
class SerialPort {
public:
    virtual ~SerialPort() = default;
    virtual bool SetTimeouts() = 0;
    virtual bool SetLineSettings() = 0;
    // Waits for one byte and stores it in `buffer`.
    virtual ReadResult ReadByte(unsigned char& buffer) = 0;
    // Whether the next ReadByte returns at once with a byte the port has
    // already taken from the device (false where reads are not batched).
    virtual bool HasPendingInput() const = 0;
    // Releases the port. The service calls it exactly once.
    virtual void Close() = 0;
};

class Platform {
public:
    virtual ~Platform() = default;
    // Whether COM port `number` (0 to 254) exists now. Opens nothing.
    virtual bool IsComPortPresent(int number) = 0;
    // The path that OpenPort takes for COM port `number`, as the trace shows it.
    virtual std::string DevicePath(int number) = 0;
    // Opens the port for reading and writing, exclusively; null on failure.
    virtual std::unique_ptr<SerialPort> OpenPort(const std::string& path) = 0;
    // Opens a file-manager window; false when it could not be started.
    virtual bool LaunchFileManager() = 0;
};

// The platform this build runs on.
Platform& SystemPlatform();

// Makes the process independent of what it inherited from whoever started it
// (closed standard streams, signal dispositions, where libraries are loaded
// from). `main` calls it before anything else.
void PrepareProcess();
