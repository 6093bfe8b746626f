// The AppID: the hex text of the "check" file beside the executable.
#include <cstdio>

#include "identity/identity.h"

char g_appId[kAppIdFieldSize];

void FormatAppId(const unsigned char *bytes, std::size_t count, char *appId) {
    if (count > kCheckFileMaxBytes) count = kCheckFileMaxBytes;
    appId[0] = '\0';
    for (std::size_t i = 0; i < count; ++i) {
        // Three bytes of room at each step: two digits and the terminator.
        std::snprintf(appId + 2 * i, 3, "%02X", static_cast<unsigned>(bytes[i]));
    }
}

void ReadAppId(const char *checkPath) {
    static unsigned char contents[kCheckFileMaxBytes];  // static: a small stack suffices
    std::size_t count = 0;
    // Opened for reading and updating, though nothing is ever written: a check
    // file that cannot be opened so (missing, or read-only) gives an empty AppID.
    // Only a regular file is read: a FIFO named check would hang start-up.
    std::FILE *check = OpenFileStream(checkPath, "r+b");
    if (check != nullptr) {
        count = std::fread(contents, 1, kCheckFileMaxBytes, check);
        std::fclose(check);
    }
    FormatAppId(contents, count, g_appId);
}
