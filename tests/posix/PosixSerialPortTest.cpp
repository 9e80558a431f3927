#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "PosixPlatform.h"
#include "PtyPair.h"

namespace {

using Clock = std::chrono::steady_clock;

// The descriptor open on `path` in this process, or -1.
int FindDescriptorFor(const std::string& path) {
    for (int fd = 0; fd < 1024; ++fd) {
        char link[PATH_MAX];
        const ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
        if (length > 0 && std::string(link, static_cast<size_t>(length)) == path) return fd;
    }
    return -1;
}

std::unique_ptr<SerialPort> OpenConfigured(const PtyPair& pty) {
    std::unique_ptr<SerialPort> port = OpenExclusivePort(pty.slavePath);
    EXPECT_NE(port, nullptr);
    if (!port) return nullptr;
    EXPECT_TRUE(port->SetTimeouts());
    EXPECT_TRUE(port->SetLineSettings());
    return port;
}

TEST(PosixLineSettings, ReadBackFromTheOtherEnd) {
    PtyPair pty;
    auto port = OpenConfigured(pty);
    ASSERT_NE(port, nullptr);
    termios seen{};
    // On a pty pair the master reports the slave's settings.
    ASSERT_EQ(tcgetattr(pty.master, &seen), 0);
    EXPECT_EQ(cfgetispeed(&seen), B9600);
    EXPECT_EQ(cfgetospeed(&seen), B9600);
    EXPECT_EQ(seen.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(seen.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(seen.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(seen.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK), 0u);
    EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(seen.c_oflag & OPOST, 0u);
}

TEST(PosixLineSettings, ClearCharacterSizeParityAndEveryTranslation) {
    // The pty driver forces CS8 and no parity, so these are checked where the
    // settings are built, starting from a record with every bit set.
    termios settings;
    std::memset(&settings, 0xff, sizeof settings);
    MakeServiceLineSettings(settings);
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | IXANY | INLCR | IGNCR | ICRNL | IGNBRK | BRKINT | PARMRK | INPCK |
                                  ISTRIP),
              0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetispeed(&settings), B9600);
    EXPECT_EQ(cfgetospeed(&settings), B9600);
}

TEST(PosixSerialPort, DeliversBytesInOrderAndLeavesTheBufferOnTimeout) {
    PtyPair pty;
    auto port = OpenConfigured(pty);
    ASSERT_NE(port, nullptr);
    pty.Send("12\r\n");
    unsigned char buffer = 0;
    std::string got;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(port->ReadByte(buffer), ReadResult::kByte);
        got += static_cast<char>(buffer);
    }
    EXPECT_EQ(got, "12\r\n");  // raw: no CR/LF translation

    const auto start = Clock::now();
    EXPECT_EQ(port->ReadByte(buffer), ReadResult::kTimeout);
    const auto waited = Clock::now() - start;
    EXPECT_EQ(buffer, '\n');
    // The read waits for the whole timeout rather than returning at once.
    EXPECT_GE(waited, std::chrono::milliseconds(190));
    EXPECT_LT(waited, std::chrono::seconds(2));
}

// Interrupts the thread that made it with SIGUSR1 every 15 ms, for as long as
// it lives, through a handler that does nothing (as a profiler or a debugger
// attaching might): every wait in that thread is cut short with EINTR.
class SignalStorm {
public:
    SignalStorm() : target(pthread_self()) {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &saved);  // no SA_RESTART
        sender = std::thread([this] {
            while (!stop) {
                pthread_kill(target, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
        });
    }
    ~SignalStorm() {
        stop = true;
        sender.join();
        sigaction(SIGUSR1, &saved, nullptr);
    }

private:
    pthread_t target;
    struct sigaction saved {};
    std::atomic<bool> stop{false};
    std::thread sender;
};

TEST(PosixSerialPort, SignalsDuringTheWaitNeitherShortenTheTimeoutNorLoseAByte) {
    PtyPair pty;
    auto port = OpenConfigured(pty);
    ASSERT_NE(port, nullptr);
    unsigned char buffer = '2';
    {
        SignalStorm storm;
        auto start = Clock::now();
        EXPECT_EQ(port->ReadByte(buffer), ReadResult::kTimeout);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));
        EXPECT_EQ(buffer, '2');

        std::thread device([&pty] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pty.Send("1");
        });
        EXPECT_EQ(port->ReadByte(buffer), ReadResult::kByte);
        device.join();
    }
    EXPECT_EQ(buffer, '1');
}

// Records what the port asks of the modem lines, answering as a pty does.
struct ModemLineRequest {
    int fd = -1;
    int lines = 0;
    int calls = 0;
};
ModemLineRequest modemRequest;

int RecordModemLines(int fd, int lines) {
    modemRequest = {fd, lines, modemRequest.calls + 1};
    errno = ENOTTY;
    return -1;
}

TEST(PosixSerialPort, DropsDtrAndRtsWhenTheLineIsSetUpAndToleratesPortsWithoutThem) {
    PtyPair pty;
    modemRequest = {};
    std::unique_ptr<SerialPort> port = OpenExclusivePort(pty.slavePath, RecordModemLines);
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(port->SetTimeouts());
    EXPECT_EQ(modemRequest.calls, 0);
    EXPECT_TRUE(port->SetLineSettings()) << "a port without modem lines is still set up";
    EXPECT_EQ(modemRequest.calls, 1);
    EXPECT_EQ(modemRequest.lines, TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(modemRequest.fd, FindDescriptorFor(pty.slavePath));
}

TEST(PosixSerialPort, KeepsBytesSentBeforeTheLineWasConfigured) {
    PtyPair pty;
    std::unique_ptr<SerialPort> port = OpenExclusivePort(pty.slavePath);
    ASSERT_NE(port, nullptr);
    pty.Send("1");
    ASSERT_TRUE(port->SetTimeouts());
    ASSERT_TRUE(port->SetLineSettings());
    unsigned char buffer = 0;
    EXPECT_EQ(port->ReadByte(buffer), ReadResult::kByte);
    EXPECT_EQ(buffer, '1');
}

TEST(PosixSerialPort, HangupIsAFailedReadNotATimeout) {
    PtyPair pty;
    auto port = OpenConfigured(pty);
    ASSERT_NE(port, nullptr);
    pty.Send("2");
    pty.CloseMaster();
    unsigned char buffer = 0;
    // A byte that was already queued may still be delivered; then the hangup.
    ReadResult result = port->ReadByte(buffer);
    if (result == ReadResult::kByte) result = port->ReadByte(buffer);
    EXPECT_EQ(result, ReadResult::kFailed);
    EXPECT_EQ(port->ReadByte(buffer), ReadResult::kFailed);
}

TEST(PosixSerialPort, SecondOpenFailsUntilTheFirstIsClosed) {
    PtyPair pty;
    auto first = OpenConfigured(pty);
    ASSERT_NE(first, nullptr);
    // Root passes TIOCEXCL; the lock still stops it.
    EXPECT_EQ(OpenExclusivePort(pty.slavePath), nullptr);
    first->Close();
    EXPECT_NE(OpenExclusivePort(pty.slavePath), nullptr);
}

TEST(PosixSerialPort, OpenFailsForMissingPathsAndNonTerminals) {
    EXPECT_EQ(OpenExclusivePort("/nonexistent/ttyACM0"), nullptr);
    EXPECT_EQ(OpenExclusivePort("/dev/null"), nullptr);
}

TEST(PosixSerialPort, IsNotInheritedByLaunchedPrograms) {
    PtyPair pty;
    auto port = OpenConfigured(pty);
    ASSERT_NE(port, nullptr);
    const int fd = FindDescriptorFor(pty.slavePath);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
}

}  // namespace
