#include "PosixPlatform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

extern char** environ;

namespace {

// COM numbers by tty family: COM first+k is <prefix>k, for k below count.
struct TtyFamily {
    const char* prefix;
    int first;
    int count;
};
constexpr TtyFamily kFamilies[] = {
    {"ttyS", 1, 32},
    {"ttyUSB", 33, 32},
    {"ttyACM", 65, 32},
    {"ttyAMA", 97, 32},
};

// Reads a small sysfs attribute; false when it cannot be read or is empty.
// Non-blocking, so that something other than an attribute (a FIFO) cannot
// stall discovery.
bool ReadAttribute(const std::string& path, std::string& value) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    char text[64];
    const ssize_t got = ::read(fd, text, sizeof text);
    ::close(fd);
    if (got <= 0) return false;
    value.assign(text, static_cast<size_t>(got));
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    return true;
}

// The folder to open: $HOME, else the password database's home, and only an
// absolute path. Anything else could be taken by xdg-open for an option
// ("--version") or a URL to hand to a browser. "" when neither will do.
std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    const passwd* entry = getpwuid(getuid());
    if (entry && entry->pw_dir && entry->pw_dir[0] == '/') return entry->pw_dir;
    return "";
}

// How long the launcher may take to say whether it managed. xdg-open hands
// the folder to the desktop and exits at once; one that is still running
// after this is taken to be showing the folder itself.
constexpr int kLauncherVerdictMs = 3000;

// Waits up to kLauncherVerdictMs for `child` to exit; true if it is still
// running then, or exited with status 0. The child is reaped if it exited.
bool LauncherSucceeded(pid_t child) {
    const long long deadline = MonotonicMs() + kLauncherVerdictMs;
    // A pidfd lets poll sleep until the child exits. Without one (older
    // kernels, no descriptor left, a seccomp filter) the child is polled.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR)) {
            if (pidfd >= 0) ::close(pidfd);
            return done == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        const long long left = deadline - MonotonicMs();
        if (left <= 0) break;  // still running: it is the file manager
        if (pidfd >= 0) {
            pollfd waiter{pidfd, POLLIN, 0};
            poll(&waiter, 1, static_cast<int>(left));  // woken early by a signal: look again
        } else {
            const timespec step{0, 10 * 1000 * 1000};
            nanosleep(&step, nullptr);
        }
    }
    if (pidfd >= 0) ::close(pidfd);
    return true;
}

}  // namespace

long long MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

PosixPlatform::PosixPlatform(std::string sysClassTty, std::string devDir)
    : sysClassTty(std::move(sysClassTty)), devDir(std::move(devDir)) {}

std::string ComPortTtyName(int number) {
    for (const TtyFamily& family : kFamilies) {
        if (number >= family.first && number < family.first + family.count) {
            return family.prefix + std::to_string(number - family.first);
        }
    }
    return "";
}

bool PosixPlatform::IsComPortPresent(int number) {
    const std::string name = ComPortTtyName(number);
    if (name.empty()) return false;
    const std::string entry = sysClassTty + "/" + name;

    // Only ttys backed by a device count; the link's target need not resolve.
    char target[512];
    const ssize_t length = ::readlink((entry + "/device").c_str(), target, sizeof target - 1);
    if (length < 0) return false;

    // The kernel reserves legacy UART slots on the serial8250 platform device
    // whether or not a UART is fitted; `type` 0 means none is. That file is
    // readable by root only, so elsewhere such slots are taken as empty.
    std::string type;
    const bool typeKnown = ReadAttribute(entry + "/type", type);
    if (typeKnown && type == "0") return false;
    std::string device(target, static_cast<size_t>(length));
    while (device.size() > 1 && device.back() == '/') device.pop_back();
    const std::string leaf = device.substr(device.rfind('/') + 1);  // npos + 1 is 0
    const bool reservedSlot = leaf == "serial8250";
    return !reservedSlot || typeKnown;
}

std::string PosixPlatform::DevicePath(int number) { return devDir + "/" + ComPortTtyName(number); }

std::unique_ptr<SerialPort> PosixPlatform::OpenPort(const std::string& path) { return OpenExclusivePort(path); }

bool PosixPlatform::LaunchFileManager() {
    const std::string home = HomeDirectory();
    if (home.empty()) return false;

    // The launcher gets /dev/null for its standard streams and a session of
    // its own: the file manager outlives the service, and a pipe reading the
    // service's output sees its end when the service ends.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // The service ignores SIGPIPE; the launcher gets the ordinary
    // dispositions and signal mask back.
    sigset_t none, pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigdefault(&attributes, &pipe);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    char program[] = "xdg-open";
    char* argv[] = {program, const_cast<char*>(home.c_str()), nullptr};
    pid_t child = 0;
    const int error = posix_spawnp(&child, program, &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 && LauncherSucceeded(child);
}

void PrepareProcess() {
    // Descriptors 0 to 2 must be taken before anything is opened: with
    // standard output closed the port would become descriptor 1 and the
    // trace would be written to the device.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            ::close(null);
        }
    }
    // An ignored SIGCHLD would make the launcher's exit status unknowable;
    // a reader of the trace that goes away must not end the service before
    // it can launch.
    signal(SIGCHLD, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);
}

Platform& SystemPlatform() {
    static PosixPlatform platform("/sys/class/tty", "/dev");
    return platform;
}
