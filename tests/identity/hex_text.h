// What the identity tests expect an AppID to read: the check file's bytes as
// hex text, written out here independently of the code under test.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace identity_test {

// Two upper-case digits for each of the first count bytes.
inline std::string Hex(const std::vector<unsigned char> &bytes, std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < count && i < bytes.size(); ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

}  // namespace identity_test
