#include "platform/device_tree.h"

namespace platform {

namespace {

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string locationOf(DeviceTree& tree, std::uint32_t node) {
    const std::string path = tree.locationPath(node);
    return path.empty() ? tree.instanceId(node) : path;
}

} // namespace

std::string usbDeviceLocation(DeviceTree& tree, std::uint32_t hidNode) {
    std::uint32_t first = 0;
    if (!tree.parent(hidNode, first)) return {};
    std::uint32_t node = first;
    // A USB device is a few levels up at most; a tree that loops is not
    // followed for ever.
    for (int depth = 0; depth < 8; ++depth) {
        const std::string id = upper(tree.instanceId(node));
        if (id.rfind("USB\\", 0) == 0 && id.find("&MI_") == std::string::npos)
            return locationOf(tree, node);
        if (!tree.parent(node, node)) break;
    }
    return locationOf(tree, first);
}

} // namespace platform
