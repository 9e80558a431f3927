#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

// A pseudo-terminal pair standing in for a serial line: the test plays the
// device on the master, the code under test opens the slave by its path.
class PtyPair {
public:
    PtyPair() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        const char* name = ptsname(master);
        slavePath = name ? name : "";
    }
    ~PtyPair() { CloseMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    void Send(const std::string& bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Closing the master hangs the slave up, as pulling out an adapter does.
    void CloseMaster() {
        if (master >= 0) close(master);
        master = -1;
    }

    int master = -1;
    std::string slavePath;
};
