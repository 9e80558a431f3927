#pragma once

#include <cstddef>
#include <string>

// The device end of a pseudo-terminal pair: writes go to whoever opened the
// slave end, as if a device on a serial line had sent them.
class PtyDevice {
public:
    PtyDevice();  // check ok()
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    bool ok() const { return master >= 0; }
    int fd() const { return master; }
    // The port a program opens, /dev/pts/N.
    const std::string& slavePath() const { return slave; }

    // Writes every byte, waiting while the pty's buffer is full.
    bool Send(const char* bytes, std::size_t size);
    bool Send(const std::string& bytes) { return Send(bytes.data(), bytes.size()); }
    // Waits until the other end has set 9600 baud and raw mode.
    void WaitConfigured() const;
    // The other end's settings, as "settings ispeed=9600 ospeed=9600 csize=8 parenb=0 ...".
    std::string DescribeSettings() const;
    // Closes the master: the line hangs up.
    void Hangup();

private:
    int master = -1;
    std::string slave;
};

// `count` samples that keep the detector busy but never complete the
// pattern: "1" then eleven "2", over and over.
std::string NonCompletingSamples(std::size_t count);

void PauseMs(long ms);
