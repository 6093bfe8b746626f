// What the session driver decides before the receive loop starts, and the
// fixed size of every text the program keeps.
#pragma once

#include <cstddef>

// Every text the program keeps is a NUL-terminated single-byte string in a
// fixed field of this size.
constexpr std::size_t kTextFieldSize = 1024;

// Set by main before the receive loop starts; only read afterwards.
struct SessionSettings {
    int logEnabled;                // 1 when a capture file was asked for
    char logPath[kTextFieldSize];  // where the capture goes
};
