// The device side of USB/IP as the kernel's vhci_hcd speaks it over a
// socket: requests come as CMD_SUBMIT and CMD_UNLINK, answers go back as
// RET_SUBMIT and RET_UNLINK. No import handshake: the socket is handed to
// vhci_hcd through its sysfs attach file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct UsbipCommand {
    bool unlink;          // CMD_UNLINK rather than CMD_SUBMIT
    std::uint32_t seqnum; // of this command
    bool in;              // device to host
    std::uint32_t endpoint;
    std::uint32_t length;           // transfer buffer length
    std::uint8_t setup[8];          // control transfers
    std::vector<std::uint8_t> data; // OUT transfers
    std::uint32_t unlinkSeqnum;     // the transfer CMD_UNLINK cancels
};

// Takes the first whole command off the front of buffer; false if none is
// complete yet. *bad is set for a buffer that holds no valid command.
bool usbipTakeCommand(std::vector<std::uint8_t>& buffer, UsbipCommand& command, bool* bad);

// RET_SUBMIT with status (0, or a negative errno) and, for IN, the data.
std::vector<std::uint8_t> usbipRetSubmit(std::uint32_t seqnum, std::int32_t status,
                                         std::uint32_t actualLength,
                                         const std::vector<std::uint8_t>& data);

std::vector<std::uint8_t> usbipRetUnlink(std::uint32_t seqnum, std::int32_t status);

// Plugs the device at the other end of socketFd into a free port of the first
// vhci_hcd, at full speed. Returns the port, -1 if none took it.
int vhciAttach(int socketFd, std::uint32_t devid);

// Unplugs the device at port.
bool vhciDetach(int port);
