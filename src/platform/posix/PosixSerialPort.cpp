#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "PosixPlatform.h"

namespace {

class PosixSerialPort : public SerialPort {
public:
    PosixSerialPort(int fd, ModemLineControl clearModemLines) : fd(fd), clearModemLines(clearModemLines) {}
    ~PosixSerialPort() override { Close(); }

    bool SetTimeouts() override {
        // The timeout is applied by ReadByte's poll; there is nothing to tell the driver.
        readTimeoutMs = static_cast<int>(kReadTimeoutMs);
        return fd >= 0;
    }

    bool SetLineSettings() override {
        termios settings{};
        if (tcgetattr(fd, &settings) != 0) return false;
        MakeServiceLineSettings(settings);
        // No flush: bytes the device sent right after the open are kept.
        if (tcsetattr(fd, TCSANOW, &settings) != 0) return false;
        // The kernel raises DTR and RTS on open; the Windows build leaves
        // both under no control, low, and a device must see the same line
        // from either. Ports without modem lines (a pty) refuse: no matter.
        clearModemLines(fd, TIOCM_DTR | TIOCM_RTS);
        return true;
    }

    // Bytes are taken from the driver in batches, so a burst costs one read
    // call per batch rather than one per byte; the service still sees them
    // one at a time.
    ReadResult ReadByte(unsigned char& buffer) override {
        if (next == end) {
            const ReadResult filled = Fill();
            if (filled != ReadResult::kByte) return filled;
        }
        buffer = pending[next++];
        return ReadResult::kByte;
    }

    bool HasPendingInput() const override { return next != end; }

    void Close() override {
        if (fd >= 0) ::close(fd);  // also drops the flock
        fd = -1;
    }

private:
    ReadResult Fill() {
        // The port is non-blocking with VMIN 1: a read with nothing queued
        // fails with EAGAIN, and 0 bytes means the line was hung up. When the
        // last batch filled the buffer more bytes are probably queued, so
        // read at once; otherwise wait first, which costs one system call
        // fewer per wake-up. poll tells a timeout from a hangup.
        if (end == sizeof pending) {
            const ReadResult result = TryRead();
            if (result != ReadResult::kTimeout) return result;
        }
        // A signal that interrupts the wait does not end it: the rest of the
        // timeout is waited for, or a silence would be counted too soon.
        const long long deadline = MonotonicMs() + readTimeoutMs;
        pollfd waiter{fd, POLLIN, 0};
        int ready = 0;
        for (long long left = readTimeoutMs; left > 0; left = deadline - MonotonicMs()) {
            ready = poll(&waiter, 1, static_cast<int>(left));
            if (ready >= 0 || errno != EINTR) break;
            ready = 0;
        }
        if (ready == 0) return ReadResult::kTimeout;
        if (ready < 0) return ReadResult::kFailed;
        if (!(waiter.revents & POLLIN)) return ReadResult::kFailed;  // POLLHUP, POLLERR, POLLNVAL
        return TryRead();
    }

    ReadResult TryRead() {
        const ssize_t got = ::read(fd, pending, sizeof pending);
        if (got > 0) {
            next = 0;
            end = static_cast<size_t>(got);
            return ReadResult::kByte;
        }
        end = 0;
        next = 0;
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return ReadResult::kTimeout;
        return ReadResult::kFailed;
    }

    int fd;
    ModemLineControl clearModemLines;
    int readTimeoutMs = static_cast<int>(kReadTimeoutMs);
    unsigned char pending[4096];
    size_t next = 0;
    size_t end = 0;
};

}  // namespace

void MakeServiceLineSettings(termios& settings) {
    cfmakeraw(&settings);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INLCR | IGNCR | ICRNL | IGNBRK | BRKINT |
                                               PARMRK | INPCK | ISTRIP);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    static_assert(kBaudRate == 9600 && kDataBits == 8, "the termios mapping below is for 9600 baud, 8 bits");
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
}

int ClearModemLines(int fd, int lines) { return ioctl(fd, TIOCMBIC, &lines); }

std::unique_ptr<SerialPort> OpenExclusivePort(const std::string& path, ModemLineControl clearModemLines) {
    // O_NONBLOCK keeps the open from waiting for carrier on a real UART.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixSerialPort>(fd, clearModemLines);
}
