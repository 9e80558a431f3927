#include "PtyDevice.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

PtyDevice::PtyDevice() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return;
    const char* name = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    if (!name) {
        Hangup();
        return;
    }
    slave = name;
}

PtyDevice::~PtyDevice() { Hangup(); }

bool PtyDevice::Send(const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t put = write(master, bytes, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

void PtyDevice::WaitConfigured() const {
    // The master reports the slave's settings.
    for (;;) {
        termios line{};
        if (tcgetattr(master, &line) == 0 && cfgetispeed(&line) == B9600 && !(line.c_lflag & ICANON)) return;
        PauseMs(1);
    }
}

namespace {

int Baud(speed_t speed) {
    switch (speed) {
        case B1200: return 1200;
        case B2400: return 2400;
        case B4800: return 4800;
        case B9600: return 9600;
        case B19200: return 19200;
        case B38400: return 38400;
        case B57600: return 57600;
        case B115200: return 115200;
        default: return -1;
    }
}

std::string Flag(const char* name, tcflag_t field, tcflag_t bit) {
    return std::string(" ") + name + "=" + ((field & bit) ? "1" : "0");
}

}  // namespace

std::string PtyDevice::DescribeSettings() const {
    termios line{};
    if (tcgetattr(master, &line) != 0) return "settings unreadable";
    const tcflag_t size = line.c_cflag & CSIZE;
    const int bits = size == CS8 ? 8 : size == CS7 ? 7 : size == CS6 ? 6 : 5;
    return "settings ispeed=" + std::to_string(Baud(cfgetispeed(&line))) +
           " ospeed=" + std::to_string(Baud(cfgetospeed(&line))) + " csize=" + std::to_string(bits) +
           Flag("parenb", line.c_cflag, PARENB) + Flag("cstopb", line.c_cflag, CSTOPB) +
           Flag("crtscts", line.c_cflag, CRTSCTS) + Flag("ixon", line.c_iflag, IXON) +
           Flag("ixoff", line.c_iflag, IXOFF) + Flag("icrnl", line.c_iflag, ICRNL) +
           Flag("icanon", line.c_lflag, ICANON) + Flag("echo", line.c_lflag, ECHO) +
           Flag("isig", line.c_lflag, ISIG) + Flag("opost", line.c_oflag, OPOST);
}

void PtyDevice::Hangup() {
    if (master >= 0) close(master);
    master = -1;
}

std::string NonCompletingSamples(std::size_t count) {
    std::string samples;
    samples.reserve(count + 12);
    while (samples.size() < count) samples += "122222222222";
    samples.resize(count);
    return samples;
}

void PauseMs(long ms) {
    timespec rest{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}
