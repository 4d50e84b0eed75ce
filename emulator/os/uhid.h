// A HID device made by this process through /dev/uhid, so that the kernel
// presents it to other processes as a real one (hidraw, and Wine's HID stack
// over it). Linux only: the simulated adapter's bridge, brisklink-uhid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::uhid {

// What the kernel asks of the device.
struct Event {
    enum class Kind { Output, GetReport } kind = Kind::Output;
    // Output: the report as written, from its report-ID byte.
    std::vector<std::uint8_t> data;
    // GetReport: the request's id, for the reply.
    std::uint32_t id = 0;
};

class Device {
  public:
    Device() = default;
    ~Device() { destroy(); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Puts the device on the bus (as a USB device) under `phys`, its
    // physical path. False, with the reason on standard error, when
    // /dev/uhid cannot be opened or refuses it.
    bool create(const std::string& name, const std::string& phys, const std::string& uniq,
                const std::vector<std::uint8_t>& descriptor, std::uint16_t vendorId,
                std::uint16_t productId);
    // Takes it off the bus again.
    void destroy();
    bool created() const { return fd_ >= 0; }

    // The next request the kernel has queued, without waiting; false when
    // there is none.
    bool next(Event& event);
    // The answer to GetReport `id`: `size` bytes from the report-ID byte, or
    // an I/O error when `data` is null.
    void replyGetReport(std::uint32_t id, const std::uint8_t* data, std::size_t size);
    // An input report (without report-ID byte) on the interrupt pipe.
    void sendInput(const std::uint8_t* data, std::size_t size);

    // Waits up to `ms` milliseconds for a request to any of `devices`.
    static void waitForRequests(const std::vector<Device*>& devices, int ms);

  private:
    bool send(const void* event);
    int fd_ = -1;
};

// Real-time scheduling for the calling process: uhid keeps only a short
// queue of output reports and drops the rest without telling the writer.
// False, with the reason in `error`, when the system refuses it.
bool raisePriority(std::string& error);

} // namespace platform::uhid
