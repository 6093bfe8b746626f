// The machine code: the hardware address of the last network transport.
#include <cstdio>
#include <cwchar>

#include "identity/identity.h"

void MachineCodeFromTransports(const WKSTA_TRANSPORT_INFO_0 *transports, DWORD count,
                               char *code) {
    // %hx stores a short; with at most two digits per field each value is one
    // byte. The bytes live across entries: a partial parse leaves the rest as
    // the entry before gave them.
    unsigned short bytes[6] = {0, 0, 0, 0, 0, 0};
    for (DWORD i = 0; i < count; ++i) {
        const wchar_t *address = transports[i].wkti0_transport_address;
        if (address == nullptr) continue;
        std::swscanf(address, L"%2hx%2hx%2hx%2hx%2hx%2hx", &bytes[0], &bytes[1], &bytes[2],
                     &bytes[3], &bytes[4], &bytes[5]);
    }
    std::snprintf(code, kMachineCodeSize, "%02X%02X%02X%02X%02X%02X", bytes[0] & 0xFFu,
                  bytes[1] & 0xFFu, bytes[2] & 0xFFu, bytes[3] & 0xFFu, bytes[4] & 0xFFu,
                  bytes[5] & 0xFFu);
}

const char *GetMachineCode() {
    static char code[kMachineCodeSize];
    LPBYTE buffer = nullptr;
    DWORD entriesRead = 0;
    DWORD totalEntries = 0;
    // Level 0 of the local computer, all entries at once.
    NET_API_STATUS status = NetWkstaTransportEnum(nullptr, 0, &buffer, MAX_PREFERRED_LENGTH,
                                                  &entriesRead, &totalEntries, nullptr);
    // After a failed enumeration the count means nothing: the list is not
    // walked and the code is all zeros.
    DWORD usable = (status == NERR_Success && buffer != nullptr) ? entriesRead : 0;
    MachineCodeFromTransports(reinterpret_cast<const WKSTA_TRANSPORT_INFO_0 *>(buffer), usable,
                              code);
    if (buffer != nullptr) NetApiBufferFree(buffer);
    return code;
}
