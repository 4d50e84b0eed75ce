// Where a HID device is plugged in, read from the system's device tree: the
// walk is the same on every system that has such a tree; the tree itself is
// the backend's (Windows' configuration manager).
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class DeviceTree {
  public:
    virtual ~DeviceTree() = default;
    // False at the tree's root, or where the system does not tell.
    virtual bool parent(std::uint32_t node, std::uint32_t& parent) = 0;
    // "USB\VID_1D50&PID_6190&MI_00\7&2A1B3C&0&0000".
    virtual std::string instanceId(std::uint32_t node) = 0;
    // The node's location path; empty where it has none.
    virtual std::string locationPath(std::uint32_t node) = 0;
};

// The location of the USB device that the HID device at `hidNode` belongs
// to: its location path, or its instance ID where it has none. A composite
// device's HID collection hangs below one of its interfaces
// ("...&MI_nn..."), a single-interface device's below the device itself:
// both give the device's location, so that an adapter whose application is
// composite and whose loader is not keeps one location through its
// restarts. A HID device not on USB is located at its parent. Empty when
// `hidNode` has no parent.
std::string usbDeviceLocation(DeviceTree& tree, std::uint32_t hidNode);

} // namespace platform
