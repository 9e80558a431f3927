#include "PosixPlatform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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

// Reads a small sysfs attribute; false when it cannot be read.
bool ReadAttribute(const std::string& path, std::string& value) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[64];
    const ssize_t got = ::read(fd, text, sizeof text);
    ::close(fd);
    if (got < 0) return false;
    value.assign(text, static_cast<size_t>(got));
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    return true;
}

// The home folder: $HOME, else the password database.
std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    const passwd* entry = getpwuid(getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}

// How long the launcher may take to say whether it managed. xdg-open hands
// the folder to the desktop and exits at once; one that is still running
// after this is taken to be showing the folder itself.
constexpr int kLauncherVerdictMs = 3000;

// Waits up to kLauncherVerdictMs for `child`; false if it exited unsuccessfully.
bool LauncherSucceeded(pid_t child) {
    // A pidfd lets poll bound the wait. Kernels before 5.3 have none; there
    // the service waits for the launcher to exit, as xdg-open normally does.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (pidfd >= 0) {
        pollfd waiter{pidfd, POLLIN, 0};
        const int ready = poll(&waiter, 1, kLauncherVerdictMs);
        ::close(pidfd);
        if (ready == 0) return true;  // still running: it is the file manager
    }
    int status = 0;
    pid_t done;
    do {
        done = waitpid(child, &status, 0);
    } while (done < 0 && errno == EINTR);
    return done == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

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
    target[length] = '\0';
    const std::string device(target, static_cast<size_t>(length));

    // The kernel reserves legacy UART slots on the serial8250 platform device
    // whether or not a UART is fitted; `type` 0 means none is. That file is
    // readable by root only, so elsewhere such slots are taken as empty.
    std::string type;
    const bool typeKnown = ReadAttribute(entry + "/type", type);
    if (typeKnown && type == "0") return false;
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
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    char program[] = "xdg-open";
    char* argv[] = {program, const_cast<char*>(home.c_str()), nullptr};
    pid_t child = 0;
    const int error = posix_spawnp(&child, program, &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 && LauncherSucceeded(child);
}

Platform& SystemPlatform() {
    static PosixPlatform platform("/sys/class/tty", "/dev");
    return platform;
}
