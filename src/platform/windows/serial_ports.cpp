// The serial ports as Windows records them in its serial device map: each
// value of HARDWARE\DEVICEMAP\SERIALCOMM names a port's device and holds its
// COM name. Reading the map opens no port.
#include "platform/win32.h"

namespace {

constexpr char kSerialDeviceMap[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Device names ("\Device\Serial0", "\Device\VCP0") and COM names are short;
// a value too long for these is no port name and is passed over.
constexpr DWORD kNameSize = 256;
constexpr DWORD kDataSize = 256;

}  // namespace

std::vector<SerialPort> ListSerialPorts() {
    std::vector<SerialPort> ports;
    HKEY map = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialDeviceMap, 0, KEY_QUERY_VALUE, &map) !=
        ERROR_SUCCESS) {
        // No map: no serial port has ever been seen.
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        char device[kNameSize];
        DWORD deviceLength = kNameSize;
        BYTE data[kDataSize + 1];
        DWORD dataLength = kDataSize;
        DWORD type = 0;
        LONG result =
            RegEnumValueA(map, index, device, &deviceLength, nullptr, &type, data, &dataLength);
        if (result == ERROR_MORE_DATA) continue;
        // The end of the values, or a map that cannot be read further.
        if (result != ERROR_SUCCESS) break;
        if (type != REG_SZ) continue;
        // The stored text need not end in a NUL.
        data[dataLength] = '\0';
        const char *name = reinterpret_cast<const char *>(data);
        if (name[0] != '\0') ports.push_back({name, ""});
    }
    RegCloseKey(map);
    return ports;
}
