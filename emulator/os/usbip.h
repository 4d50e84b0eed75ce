// A USB device played by this process on a port of the kernel's USB/IP
// virtual host controller (vhci-hcd): the kernel sees a device plugged into
// that port and sends its USB requests (URBs) over a socket, which this
// process answers. Linux only, as root: the simulated adapter's USB bridge,
// brisklink-usbip. The wire format is the kernel's
// Documentation/usb/usbip_protocol.rst.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::usbip {

// A USBIP_CMD_SUBMIT (a transfer to do) or USBIP_CMD_UNLINK (one to cancel).
struct Request {
    bool unlink = false;
    std::uint32_t seqnum = 0;
    // Submit: the endpoint number (0: control), its direction (true: IN,
    // device to host), the bytes the host expects (IN) and its setup
    // packet (control) and data (OUT).
    std::uint32_t endpoint = 0;
    bool in = false;
    std::uint32_t length = 0;
    std::uint32_t packets = 0;
    std::uint8_t setup[8] = {};
    std::vector<std::uint8_t> data;
    // Unlink: the submit it cancels.
    std::uint32_t target = 0;
};

class Port {
  public:
    Port() = default;
    ~Port() { detach(); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // Plugs the device into port `port` (from 0) of the first controller as
    // a full-speed device. False, with the reason in `error`.
    bool attach(int port, std::uint32_t devid, std::string& error);
    // Unplugs it (a pulled cable, or a restart's departure).
    void detach();
    bool attached() const { return fd_ >= 0; }

    // The next whole request the kernel sent, without waiting; false when
    // none is complete yet. A connection the kernel closed detaches.
    bool next(Request& request);
    // USBIP_RET_SUBMIT for `r`: `status` 0 or a negative errno (-EPIPE: a
    // stall), `actual` bytes done, and the data of an IN transfer.
    void complete(const Request& r, int status, std::uint32_t actual,
                  const std::uint8_t* data = nullptr);
    // USBIP_RET_UNLINK for `r`: whether the transfer was still pending.
    void unlinked(const Request& r, bool wasPending);

    // Waits up to `ms` milliseconds for a request on any of `ports`.
    static void waitForRequests(const std::vector<Port*>& ports, int ms);

  private:
    void send(const std::vector<std::uint8_t>& bytes);
    int fd_ = -1;
    int port_ = -1;
    std::vector<std::uint8_t> pending_;
};

} // namespace platform::usbip
