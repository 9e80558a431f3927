// Stands in for xdg-open in the benchmarks: notes the moment it starts (on
// the monotonic clock, in nanoseconds) in the file named by
// $TANDREL_LAUNCH_STAMP, and succeeds. Linked statically, so its own start
// costs next to nothing.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int main() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const char* path = getenv("TANDREL_LAUNCH_STAMP");
    if (!path) return 1;
    char text[32];
    const int length = snprintf(text, sizeof text, "%lld\n", now.tv_sec * 1000000000LL + now.tv_nsec);
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return 1;
    const bool written = write(fd, text, static_cast<size_t>(length)) == length;
    close(fd);
    return written ? 0 : 1;
}
