// The Linux layer's serial port listing, on a made-up sysfs tree and by-id
// folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "platform/linux/serial_ports.h"
#include "terminal/serial_ports.h"

namespace {

namespace fs = std::filesystem;

class SerialPortsLayer : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/torvane-ports-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        ttys_ = root_ + "/class/tty";
        byId_ = root_ + "/by-id";
        fs::create_directories(ttys_);
        fs::create_directories(byId_);
        fs::create_directories(root_ + "/devices/serial8250");
        fs::create_directories(root_ + "/devices/usb");
    }
    void TearDown() override { fs::remove_all(root_); }

    // A tty of the class; with a device link when device is given, and a
    // UART type attribute when type is.
    void Tty(const std::string &name, const char *device, const char *type = nullptr) {
        fs::create_directories(ttys_ + "/" + name);
        if (device != nullptr) {
            fs::create_directory_symlink(root_ + "/devices/" + device, ttys_ + "/" + name + "/device");
        }
        if (type != nullptr) std::ofstream(ttys_ + "/" + name + "/type") << type << "\n";
    }
    void ById(const std::string &id, const std::string &tty) {
        fs::create_symlink("../../" + tty, byId_ + "/" + id);
    }
    std::string Line() { return SerialPortsLine(ListSerialPortsUnder(ttys_.c_str(), byId_.c_str())); }

    std::string root_, ttys_, byId_;
};

TEST_F(SerialPortsLayer, ListsTtysWithADeviceLeavingOutPlaceholdersAndConsoles) {
    Tty("tty0", nullptr);
    Tty("ptmx", nullptr);
    Tty("ttyS0", "serial8250", "4");
    Tty("ttyS1", "serial8250", "0");  // reserved by the driver, no UART behind it
    Tty("ttyS10", "serial8250", "4");
    Tty("ttyS2", "serial8250", "4");
    Tty("ttyUSB0", "usb");
    Tty("ttyACM0", "usb");
    Tty("usb!ttyX0", "usb");  // sysfs writes the node's "/" as "!"
    ById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
    ById("usb-FTDI_zz-second-name", "ttyUSB0");
    ById("usb-gone-if00", "ttyUSB9");  // names no tty of the class
    EXPECT_EQ(Line(), "Serial ports: /dev/ttyUSB0 (usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0), "
                      "/dev/ttyACM0, /dev/ttyS0, /dev/ttyS2, /dev/ttyS10, /dev/usb/ttyX0\n");
}

TEST_F(SerialPortsLayer, WhatCannotBeReadIsLeftOut) {
    Tty("ttyUSB0", "usb");
    fs::remove_all(byId_);
    EXPECT_EQ(Line(), "Serial ports: /dev/ttyUSB0\n");
    fs::remove_all(ttys_);
    EXPECT_EQ(Line(), "Serial ports: none found\n");
}

}  // namespace
