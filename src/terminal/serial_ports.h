// The line that names the serial ports the system knows, shown below the usage
// block where no port was given or the one given could not be opened, so the
// user can type the right name at once.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

// Natural order: runs of digits compare by their value (COM2 before COM10,
// ttyS2 before ttyS10), everything else byte by byte. Names equal by value
// (COM01, COM1) fall back to plain order, so the order is total.
bool NaturalLess(const std::string &a, const std::string &b);

// "Serial ports: ...\n" with the ports in order: those the system knows an
// adapter name for first (a plugged-in adapter is the likeliest choice), then
// the rest, each group in natural order; "Serial ports: none found\n" when
// there are none.
std::string SerialPortsLine(std::vector<SerialPort> ports);

// Asks the platform for the ports and prints their line.
void PrintSerialPorts();
