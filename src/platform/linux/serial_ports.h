// The serial port listing's own entry point, private to the layer and its
// tests: the same listing under other roots, so a test can hand it a made-up
// sysfs tree and by-id folder.
#pragma once

#include <vector>

#include "platform/win32.h"

// The ports of ttyClassDir (laid out as /sys/class/tty), named /dev/<tty>,
// each with its adapter's name from byIdDir (laid out as /dev/serial/by-id).
std::vector<SerialPort> ListSerialPortsUnder(const char *ttyClassDir, const char *byIdDir);
