// Plays a serial device on a pseudo-terminal pair, for demonstrations, tests
// and benchmarks without hardware.
//
//   tandrel-virtual-device STEP...
//
// Prints the path of the pty's slave end (the port a program opens) as the
// first line of standard output, then plays the steps on the master end:
//
//   1, 2, or any one character   write that byte
//   xHH                          write the byte with hex value HH
//   NNNms                        pause NNN milliseconds
//   configured                   wait until the other end has set the line to
//                                9600 baud and raw mode
//   settings                     report the line settings the other end set, as
//                                "settings ispeed=9600 ospeed=9600 csize=8 ..."
//   burst:N                      write N samples that never complete the
//                                pattern, as fast as the pty takes them
//   hangup                       close the master: the line hangs up
//
// Each step is announced on standard output ("sent 1", "paused 500ms", ...)
// as it finishes. After the last step the line stays open until standard
// input ends, so the other end does not see a hangup just because the script
// is over.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Fail(const std::string& what) {
    std::fprintf(stderr, "tandrel-virtual-device: %s\n", what.c_str());
    std::exit(2);
}

void Announce(const std::string& what) {
    std::printf("%s\n", what.c_str());
    std::fflush(stdout);
}

void Pause(long ms) {
    timespec rest{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

void WriteAll(int master, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t put = write(master, bytes, size);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno == EAGAIN) {
            pollfd room{master, POLLOUT, 0};
            poll(&room, 1, 100);
            continue;
        }
        if (put <= 0) Fail(std::string("write: ") + std::strerror(errno));
        bytes += put;
        size -= static_cast<size_t>(put);
    }
}

// The master reports the slave's settings: wait for 9600 baud, non-canonical.
void WaitConfigured(int master) {
    for (;;) {
        termios line{};
        if (tcgetattr(master, &line) == 0 && cfgetispeed(&line) == B9600 && !(line.c_lflag & ICANON)) return;
        Pause(1);
    }
}

int Baud(speed_t speed) {
    switch (speed) {
        case B0: return 0;
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

std::string DescribeSettings(int master) {
    termios line{};
    if (tcgetattr(master, &line) != 0) Fail("tcgetattr failed");
    const tcflag_t size = line.c_cflag & CSIZE;
    const int bits = size == CS8 ? 8 : size == CS7 ? 7 : size == CS6 ? 6 : 5;
    auto flag = [](const char* name, tcflag_t field, tcflag_t bit) {
        return std::string(" ") + name + "=" + ((field & bit) ? "1" : "0");
    };
    return "settings ispeed=" + std::to_string(Baud(cfgetispeed(&line))) +
           " ospeed=" + std::to_string(Baud(cfgetospeed(&line))) + " csize=" + std::to_string(bits) +
           flag("parenb", line.c_cflag, PARENB) + flag("cstopb", line.c_cflag, CSTOPB) +
           flag("crtscts", line.c_cflag, CRTSCTS) + flag("ixon", line.c_iflag, IXON) +
           flag("ixoff", line.c_iflag, IXOFF) + flag("icrnl", line.c_iflag, ICRNL) +
           flag("icanon", line.c_lflag, ICANON) + flag("echo", line.c_lflag, ECHO) +
           flag("isig", line.c_lflag, ISIG) + flag("opost", line.c_oflag, OPOST);
}

// "1" then runs of "2" that are too long to complete the pattern: the
// detector sees samples that keep it busy but never fire.
void Burst(int master, long count) {
    std::string block;
    while (block.size() < 4096) block += "1" + std::string(11, '2');
    for (long left = count; left > 0;) {
        const size_t now = static_cast<size_t>(left < static_cast<long>(block.size()) ? left : block.size());
        WriteAll(master, block.data(), now);
        left -= static_cast<long>(now);
    }
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) Fail("cannot create a pseudo-terminal");
    const char* slave = ptsname(master);
    if (!slave) Fail("no slave name");
    Announce(slave);

    bool open = true;
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        if (!open) Fail("step after hangup: " + step);
        if (step.size() == 1) {
            WriteAll(master, step.data(), 1);
            Announce("sent " + step);
        } else if (step.size() == 3 && step[0] == 'x') {
            const char byte = static_cast<char>(std::strtol(step.c_str() + 1, nullptr, 16));
            WriteAll(master, &byte, 1);
            Announce("sent " + step);
        } else if (EndsWith(step, "ms")) {
            Pause(std::atol(step.c_str()));
            Announce("paused " + step);
        } else if (step == "configured") {
            WaitConfigured(master);
            Announce("configured");
        } else if (step == "settings") {
            Announce(DescribeSettings(master));
        } else if (step.rfind("burst:", 0) == 0) {
            Burst(master, std::atol(step.c_str() + 6));
            Announce("sent " + step);
        } else if (step == "hangup") {
            close(master);
            open = false;
            Announce("hung up");
        } else {
            Fail("unknown step: " + step);
        }
    }

    // Hold the line until whoever started us lets go.
    char ignored[64];
    while (read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
    }
    if (open) close(master);
    return 0;
}
