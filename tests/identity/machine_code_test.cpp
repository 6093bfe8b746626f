// The machine code from injected transport lists: parsing, overwriting and
// formatting, the same code that reads the platform's list.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "identity/identity.h"

namespace {

// Records that point at the given addresses (kept alive by the caller).
std::vector<WKSTA_TRANSPORT_INFO_0> Transports(std::vector<std::wstring> &addresses) {
    std::vector<WKSTA_TRANSPORT_INFO_0> records(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        records[i] = WKSTA_TRANSPORT_INFO_0{};
        records[i].wkti0_transport_address = addresses[i].data();
    }
    return records;
}

std::string CodeOf(std::vector<std::wstring> addresses) {
    std::vector<WKSTA_TRANSPORT_INFO_0> records = Transports(addresses);
    // Filled with a marker first, so a missing terminator or a short write shows.
    char code[kMachineCodeSize + 4];
    std::fill(std::begin(code), std::end(code), '#');
    MachineCodeFromTransports(records.data(), static_cast<DWORD>(records.size()), code);
    EXPECT_EQ(code[kMachineCodeSize - 1], '\0');
    EXPECT_EQ(code[kMachineCodeSize], '#') << "written past the machine code";
    return std::string(code);
}

TEST(MachineCode, ReadsOneTransportAsTwelveUpperCaseDigits) {
    EXPECT_EQ(CodeOf({L"001A2B3C4D5E"}), "001A2B3C4D5E");
    EXPECT_EQ(CodeOf({L"00a0c9ff0102"}), "00A0C9FF0102");
    EXPECT_EQ(CodeOf({L"FFFFFFFFFFFF"}), "FFFFFFFFFFFF");
}

TEST(MachineCode, TheLastTransportListedDecides) {
    EXPECT_EQ(CodeOf({L"001A2B3C4D5E", L"00A0C9FF0102"}), "00A0C9FF0102");
    EXPECT_EQ(CodeOf({L"00A0C9FF0102", L"001A2B3C4D5E"}), "001A2B3C4D5E");
    EXPECT_EQ(CodeOf({L"111111111111", L"222222222222", L"333333333333"}), "333333333333");
}

TEST(MachineCode, NoTransportGivesZeros) {
    EXPECT_EQ(CodeOf({}), "000000000000");
    // A count of zero means the list is not walked at all, not even its
    // first record.
    char code[kMachineCodeSize];
    MachineCodeFromTransports(nullptr, 0, code);
    EXPECT_STREQ(code, "000000000000");
}

TEST(MachineCode, APartialOrMalformedAddressOverwritesOnlyWhatParsed) {
    // Alone, the fields that did not parse stay zero.
    EXPECT_EQ(CodeOf({L"AABB"}), "AABB00000000");
    EXPECT_EQ(CodeOf({L""}), "000000000000");
    EXPECT_EQ(CodeOf({L"not hex"}), "000000000000");
    // After another entry, they keep that entry's bytes.
    EXPECT_EQ(CodeOf({L"001A2B3C4D5E", L"AABB"}), "AABB2B3C4D5E");
    EXPECT_EQ(CodeOf({L"001A2B3C4D5E", L"12G456789ABC"}), "121A2B3C4D5E");
    EXPECT_EQ(CodeOf({L"001A2B3C4D5E", L"zz"}), "001A2B3C4D5E");
    // A field is at most two digits: an odd count leaves a one-digit field.
    EXPECT_EQ(CodeOf({L"ABC"}), "AB0C00000000");
    // Digits past the twelfth are not read.
    EXPECT_EQ(CodeOf({L"001A2B3C4D5E77"}), "001A2B3C4D5E");
}

TEST(MachineCode, OnlyTheEntriesCountedAreRead) {
    std::vector<std::wstring> addresses = {L"001A2B3C4D5E", L"00A0C9FF0102"};
    std::vector<WKSTA_TRANSPORT_INFO_0> records = Transports(addresses);
    char code[kMachineCodeSize];
    MachineCodeFromTransports(records.data(), 1, code);
    EXPECT_STREQ(code, "001A2B3C4D5E");
}

}  // namespace
