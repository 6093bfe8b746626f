// Start-up identification and the usage report.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// Up to this many bytes of the "check" file make the AppID.
constexpr std::size_t kCheckFileMaxBytes = 1024;
// Two hex digits per byte and the terminator: nothing is ever cut.
constexpr std::size_t kAppIdFieldSize = 2 * kCheckFileMaxBytes + 1;

// Twelve hex digits and the terminator.
constexpr std::size_t kMachineCodeSize = 13;

// The request URL: room for the longest AppID plus 1024 bytes for the scheme,
// host, path and machine code, so a full check file never cuts the URL.
constexpr std::size_t kRequestUrlFieldSize = 1024 + kAppIdFieldSize;

extern char g_appId[kAppIdFieldSize];
extern char g_requestUrl[kRequestUrlFieldSize];

// The hardware address of the last network transport listed, as twelve
// upper-case hex digits; "000000000000" when none is listed.
const char *GetMachineCode();

// The machine code for a transport list: each address is read as six fields
// of up to two hex digits; every entry overwrites the bytes it parsed, so the
// last one listed decides, and bytes no entry parsed stay zero. Writes
// kMachineCodeSize bytes to code.
void MachineCodeFromTransports(const WKSTA_TRANSPORT_INFO_0 *transports, DWORD count,
                               char *code);

// Fills g_appId with the hex text of the check file's first 1024 bytes; a file
// that is missing or cannot be opened for updating counts as empty.
void ReadAppId(const char *checkPath);

// Writes the hex text of count bytes (at most kCheckFileMaxBytes) to appId, a
// field of kAppIdFieldSize bytes.
void FormatAppId(const unsigned char *bytes, std::size_t count, char *appId);

// Forms the usage report URL for host ("host" or "host:port") in a field of
// size bytes. False, with the field emptied, when it does not fit: a cut URL
// would report to the wrong place or with the wrong values.
bool FormatUsageReportUrl(char *url, std::size_t size, const char *host,
                          const char *machineCode, const char *appId);

// The request flags of the usage report: nothing cached, no authentication or
// dialogue, and a fresh answer from the origin server even through a proxy.
constexpr DWORD kUsageReportFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTH |
                                    INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE |
                                    INTERNET_FLAG_FORMS_SUBMIT;
static_assert(kUsageReportFlags == 0x04040340u, "the report's request flags");

// Sends one HTTP GET with the machine code and AppID to the usage-log host;
// waits until it is answered or has failed, five seconds at most, and shows
// nothing either way.
void SendUsageReport(const char *machineCode, const char *appId);

// The usage-log host the report goes to, fixed at build time.
extern const char kUsageLogHost[];
