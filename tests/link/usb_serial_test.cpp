#include "link/usb_serial.h"

#include "testkit/fake_sysfs.h"

#include <gtest/gtest.h>

namespace {

class UsbSerialTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE((tree = makeFakeTree()).top.empty()); }
    void TearDown() override { removeFakeTree(tree); }
    FakeTree tree;
};

// In numeric order, with the node under the given /dev, the product string
// less its newline ("" without one) and the driver.
TEST_F(UsbSerialTest, ListsPortsInNumericOrderWithNodeProductAndDriver) {
    addUsbSerial(tree, "ttyUSB10", "ten", 1);
    addUsbSerial(tree, "ttyUSB2", "FT232R USB UART\n", 2);
    addUsbSerial(tree, "ttyUSB0", nullptr, 3);
    addUsbSerial(tree, "ttyUSB123456789012345678901", "huge", 4);

    auto devices = findUsbSerialDevices(tree.sys, "/dev");
    ASSERT_EQ(devices.size(), 4u);
    const char* names[] = {"ttyUSB0", "ttyUSB2", "ttyUSB10", "ttyUSB123456789012345678901"};
    for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i].name, names[i]);
        EXPECT_EQ(devices[i].node, std::string("/dev/") + names[i]);
        EXPECT_EQ(devices[i].driver, "ftdi_sio");
    }
    EXPECT_EQ(devices[0].description, "");
    EXPECT_EQ(devices[1].description, "FT232R USB UART");
}

TEST_F(UsbSerialTest, NamesTheChannelsOfAMultiChannelChip) {
    // The channel's letter follows its USB interface, whichever ttyUSB number
    // the port got and whether or not the other channels are serial ports.
    addUsbSerial(tree, "ttyUSB0", "Dual RS232\n", 1, 1, 2);
    addUsbSerial(tree, "ttyUSB1", "Dual RS232\n", 1, 0, 2);
    addUsbSerial(tree, "ttyUSB2", "Quad RS232-HS", 2, 3, 4);
    addUsbSerial(tree, "ttyUSB3", "Single", 3, 0, 1);
    addUsbSerial(tree, "ttyUSB4", nullptr, 4, 1, 2);

    const std::vector<std::string> expected = {"Dual RS232 B", "Dual RS232 A", "Quad RS232-HS D",
                                               "Single", ""};
    auto devices = findUsbSerialDevices(tree.sys, tree.dev);
    ASSERT_EQ(devices.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(devices[i].description, expected[i]) << devices[i].name;
    }
}

TEST_F(UsbSerialTest, SkipsTtysThatAreNotUsbSerialPorts) {
    // A UART on the platform bus, a modem on a USB device, a ttyUSB with no
    // USB device above it, and one whose only idVendor lies above the sysfs
    // root; the walk up must stop at the root.
    addTty(tree, "ttyS0", "devices/platform/serial8250", "serial8250");
    addUsbDevice(tree, "devices/pci0000:00/0000:00:14.0/usb1/1-5", "Modem");
    addTty(tree, "ttyACM0", "devices/pci0000:00/0000:00:14.0/usb1/1-5/1-5:1.0");
    makeDirs(tree.sys + "/devices/platform/fake");
    writeFile(tree.sys + "/devices/platform/fake/product", "Transmitter");
    addTty(tree, "ttyUSB3", "devices/platform/fake/ttyUSB3");
    writeFile(tree.top + "/idVendor", "0403\n");
    addTty(tree, "ttyUSB4", "devices/virtual/ttyUSB4");
    // A device link that leads nowhere.
    symlink("../../devices/gone/tty/ttyUSB5", (tree.sys + "/class/tty/ttyUSB5").c_str());
    addUsbSerial(tree, "ttyUSB6", "Transmitter", 6);

    auto devices = findUsbSerialDevices(tree.sys, tree.dev);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, "ttyUSB6");

    EXPECT_TRUE(findUsbSerialDevices(tree.top + "/absent", tree.dev).empty());
}

} // namespace
