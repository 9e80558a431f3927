#pragma once

#include <cstdio>
#include <optional>

#include "Platform.h"

constexpr int kHighestComPort = 254;

// The highest-numbered COM port present among COM0 to COM254, probed afresh
// on every call; nothing when none is present.
std::optional<int> SelectComPort(Platform& platform);

// The whole run: banner, port choice and set-up, listening until the second
// recognition, then the launch. Returns the exit status: 0 after the launch,
// -1 on any failure. The trace goes to `out`.
int RunTandrelService(Platform& platform, std::FILE* out);
