// The location walk of the Windows bus over a fake configuration-manager
// tree: the adapter's application (a composite device: HID below an
// interface), its loader (one interface: HID below the device), behind a hub.
#include "platform/device_tree.h"

#include <gtest/gtest.h>

#include <map>

namespace {

struct Node {
    std::uint32_t parent;
    std::string id, path;
};

class FakeTree : public platform::DeviceTree {
  public:
    explicit FakeTree(std::map<std::uint32_t, Node> nodes) : nodes_(std::move(nodes)) {}
    bool parent(std::uint32_t node, std::uint32_t& parent) override {
        const auto it = nodes_.find(node);
        if (it == nodes_.end() || it->second.parent == 0) return false;
        parent = it->second.parent;
        return true;
    }
    std::string instanceId(std::uint32_t node) override { return nodes_[node].id; }
    std::string locationPath(std::uint32_t node) override { return nodes_[node].path; }

  private:
    std::map<std::uint32_t, Node> nodes_;
};

TEST(DeviceTree, ApplicationAndLoaderOfOneAdapterShareTheLocationOfItsUsbDevice) {
    const std::string port = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)";
    const Node root{0, "USB\\ROOT_HUB30\\4&1", "PCIROOT(0)#PCI(1400)#USBROOT(0)"};
    const Node hub{1, "USB\\VID_05E3&PID_0610\\5&2", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"};
    FakeTree application({{1, root},
                          {2, hub},
                          {3, {2, "USB\\VID_3F27&PID_1004\\SN1", port}},
                          {4, {3, "USB\\VID_3F27&PID_1004&MI_01\\6&3&0&0001", port + "#USBMI(1)"}},
                          {5, {4, "HID\\VID_3F27&PID_1004&MI_01\\7&4&0&0000", ""}}});
    FakeTree loader({{1, root},
                     {2, hub},
                     {3, {2, "USB\\VID_3F27&PID_1005\\SN1", port}},
                     {5, {3, "HID\\VID_3F27&PID_1005\\7&5&0&0000", ""}}});
    EXPECT_EQ(platform::usbDeviceLocation(application, 5), port);
    EXPECT_EQ(platform::usbDeviceLocation(loader, 5), port);
    // Without a location path, the USB device's instance ID; not on USB, the
    // parent's; without a parent, nothing.
    FakeTree bare({{3, {0, "usb\\vid_3f27&pid_1004\\sn1", ""}},
                   {4, {3, "USB\\VID_3F27&PID_1004&MI_00\\6&3", ""}},
                   {5, {4, "HID\\X", ""}},
                   {7, {0, "BTHENUM\\{1124}\\8&9", ""}},
                   {8, {7, "HID\\Y", ""}}});
    EXPECT_EQ(platform::usbDeviceLocation(bare, 5), "usb\\vid_3f27&pid_1004\\sn1");
    EXPECT_EQ(platform::usbDeviceLocation(bare, 8), "BTHENUM\\{1124}\\8&9");
    EXPECT_EQ(platform::usbDeviceLocation(bare, 3), "");
}

} // namespace
