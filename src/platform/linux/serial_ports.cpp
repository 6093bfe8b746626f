// The serial ports as sysfs and udev record them: nothing here opens a device.
#include "platform/linux/serial_ports.h"

#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kTtyClassDir[] = "/sys/class/tty";
constexpr char kByIdDir[] = "/dev/serial/by-id";

bool IsDotEntry(const char *name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// The names in a folder, "." and ".." left out; none when it cannot be read.
std::vector<std::string> FolderEntries(const char *folder) {
    std::vector<std::string> names;
    DIR *dir = opendir(folder);
    if (dir == nullptr) return names;
    // readdir's NULL ends the list, or a read error: either way, what was
    // read is all there is.
    for (dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (!IsDotEntry(entry->d_name)) names.push_back(entry->d_name);
    }
    closedir(dir);
    return names;
}

// The UART of a ttyS the 8250 driver only reserved reports type 0: no port.
bool IsUartPlaceholder(const std::string &ttyDir) {
    int fd = open((ttyDir + "/type").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[16];
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0) return false;
    text[length] = '\0';
    return std::strcmp(text, "0\n") == 0 || std::strcmp(text, "0") == 0;
}

// A tty's device node: sysfs writes a "/" inside the name as "!".
std::string DevicePath(const std::string &tty) {
    std::string path = "/dev/" + tty;
    for (char &c : path) {
        if (c == '!') c = '/';
    }
    return path;
}

// The last part of a by-id link's target ("../../ttyUSB0"): the tty it names.
std::string LinkedTty(const std::string &link) {
    char target[PATH_MAX];
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) return "";
    target[length] = '\0';
    const char *slash = std::strrchr(target, '/');
    return slash != nullptr ? slash + 1 : target;
}

}  // namespace

std::vector<SerialPort> ListSerialPortsUnder(const char *ttyClassDir, const char *byIdDir) {
    struct Found {
        std::string tty;
        SerialPort port;
    };
    std::vector<Found> found;
    // Only a tty with a device behind it is a port: virtual consoles and
    // pseudo-terminals have none.
    for (const std::string &tty : FolderEntries(ttyClassDir)) {
        std::string ttyDir = std::string(ttyClassDir) + "/" + tty;
        struct stat device;
        if (stat((ttyDir + "/device").c_str(), &device) != 0) continue;
        if (tty.rfind("ttyS", 0) == 0 && IsUartPlaceholder(ttyDir)) continue;
        found.push_back({tty, {DevicePath(tty), ""}});
    }
    // An adapter with several by-id names gets the first in plain order, so
    // the line is the same at every start.
    for (const std::string &id : FolderEntries(byIdDir)) {
        std::string tty = LinkedTty(std::string(byIdDir) + "/" + id);
        for (Found &each : found) {
            std::string &adapter = each.port.adapter;
            if (each.tty == tty && (adapter.empty() || id < adapter)) adapter = id;
        }
    }
    std::vector<SerialPort> ports;
    for (const Found &each : found) {
        ports.push_back(each.port);
    }
    return ports;
}

std::vector<SerialPort> ListSerialPorts() { return ListSerialPortsUnder(kTtyClassDir, kByIdDir); }
