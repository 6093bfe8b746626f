// The serial ports line: its order and its text.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "terminal/serial_ports.h"

TEST(SerialPortsOrder, NumbersCompareByValueAndTheRestByteByByte) {
    std::vector<std::string> names = {"COM10", "COM2", "ttyS10", "COM1", "ttyS2",
                                      "COM02", "ttyUSB0", "COM", "COM100", "ttyS1a"};
    std::sort(names.begin(), names.end(), NaturalLess);
    // COM02 beside COM2 in plain order; ttyS10 and ttyS1a differ after the run.
    EXPECT_EQ(names, (std::vector<std::string>{"COM", "COM1", "COM02", "COM2", "COM10", "COM100",
                                               "ttyS1a", "ttyS2", "ttyS10", "ttyUSB0"}));
    // Numbers longer than any integer type still compare by value.
    EXPECT_TRUE(NaturalLess("COM99999999999999999999", "COM100000000000000000000"));
    EXPECT_FALSE(NaturalLess("COM3", "COM3"));
}

TEST(SerialPortsLine, NamesAdaptersFirstThenTheRestInNaturalOrder) {
    EXPECT_EQ(SerialPortsLine({}), "Serial ports: none found\n");
    EXPECT_EQ(SerialPortsLine({{"COM10", ""}, {"COM7", ""}, {"COM3", ""}}),
              "Serial ports: COM3, COM7, COM10\n");
    EXPECT_EQ(SerialPortsLine({{"/dev/ttyS10", ""},
                               {"/dev/ttyACM0", ""},
                               {"/dev/ttyUSB1", "usb-Prolific_Technology_Inc._USB-Serial-port0"},
                               {"/dev/ttyS2", ""},
                               {"/dev/ttyUSB0", "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"}}),
              "Serial ports: /dev/ttyUSB0 (usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0), "
              "/dev/ttyUSB1 (usb-Prolific_Technology_Inc._USB-Serial-port0), /dev/ttyACM0, "
              "/dev/ttyS2, /dev/ttyS10\n");
}
