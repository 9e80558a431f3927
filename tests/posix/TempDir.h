#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

// A fresh directory under the test temp dir, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = testing::TempDir() + "tandrel-XXXXXX";
        path = mkdtemp(pattern.data()) ? pattern : "";
        EXPECT_FALSE(path.empty());
    }
    ~TempDir() {
        if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path;
};
