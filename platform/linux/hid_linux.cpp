// The Linux HID bus over hidraw: the nodes listed in /sys/class/hidraw,
// identity from HIDIOCGRAWINFO, capabilities from the report descriptor,
// output reports with write(), GET_REPORT with HIDIOCGINPUT, interrupt
// reads with poll() and read().
#include "platform/hid.h"
#include "platform/hid_descriptor.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace platform::hid {

namespace {

// "hidraw12" → 12, for the system's order; anything else sorts last.
long nodeNumber(const std::string& name) {
    if (name.rfind("hidraw", 0) != 0 || name.size() == 6) return -1;
    long n = 0;
    for (std::size_t i = 6; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

class HidrawBus : public Bus {
  public:
    std::vector<std::string> enumerate() override {
        std::vector<std::pair<long, std::string>> nodes;
        if (DIR* dir = opendir("/sys/class/hidraw")) {
            while (const dirent* entry = readdir(dir)) {
                const long n = nodeNumber(entry->d_name);
                if (n >= 0) nodes.emplace_back(n, std::string("/dev/") + entry->d_name);
            }
            closedir(dir);
        }
        std::sort(nodes.begin(), nodes.end());
        std::vector<std::string> paths;
        for (auto& node : nodes)
            paths.push_back(std::move(node.second));
        denied_.clear();
        return paths;
    }

    Handle open(const std::string& path, OpenMode mode) override {
        // The identity and descriptor ioctls need no write access; a node
        // that only root may write can still be recognised.
        const int flags = (mode == OpenMode::Info ? O_RDONLY : O_RDWR) | O_CLOEXEC;
        const int fd = ::open(path.c_str(), flags);
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM) noteDenied(path);
            return kInvalidHandle;
        }
        return fd;
    }

    bool attributes(Handle h, Attributes& out) override {
        hidraw_devinfo info{};
        if (ioctl(fd(h), HIDIOCGRAWINFO, &info) < 0) return false;
        out.vendorId = static_cast<std::uint16_t>(info.vendor);
        out.productId = static_cast<std::uint16_t>(info.product);
        return true;
    }

    bool capabilities(Handle h, Capabilities& out) override {
        const ReportDescriptor parsed = descriptor(fd(h));
        if (!parsed.error.empty() || parsed.collections.empty()) return false;
        // A hidraw node is the whole device; Windows would show its first
        // top-level collection as the interface the link opens.
        const TopLevelCollection& c = parsed.collections.front();
        out.usagePage = c.usagePage;
        out.inputReportLength = c.inputReportLength;
        out.outputReportLength = c.outputReportLength;
        return true;
    }

    bool installPending() override { return false; }
    std::string sharedName() override { return "hid"; }

    bool write(Handle h, const std::uint8_t* report, std::size_t length) override {
        const ssize_t n = ::write(fd(h), report, length);
        return n == static_cast<ssize_t>(length);
    }

    bool getInputReport(Handle h, std::uint8_t* report, std::size_t length) override {
        // The first byte names the report; the kernel answers from it on.
        return ioctl(fd(h), HIDIOCGINPUT(length), report) >= 0;
    }

    ReadResult readReport(Handle h, std::uint8_t* report, std::size_t length,
                          int timeoutMs) override {
        if (length == 0) return ReadResult::Failed;
        pollfd p{fd(h), POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready == 0) return ReadResult::TimedOut;
        if (ready < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return ReadResult::Failed;
        // Without report IDs hidraw gives the report without its ID byte;
        // the link always sees the ID byte first, as on Windows.
        const bool withId = numbered(fd(h));
        std::memset(report, 0, length);
        const ssize_t n =
            withId ? ::read(fd(h), report, length) : ::read(fd(h), report + 1, length - 1);
        return n > 0 ? ReadResult::Ok : ReadResult::Failed;
    }

    void close(Handle h) override {
        if (h < 0) return;
        reportIds_.erase(fd(h));
        ::close(fd(h));
    }

    std::vector<DeniedDevice> deniedDevices() override { return denied_; }

  private:
    static int fd(Handle h) { return static_cast<int>(h); }

    static ReportDescriptor descriptor(int fd) {
        int size = 0;
        if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0) return {};
        hidraw_report_descriptor raw{};
        raw.size = static_cast<std::uint32_t>(std::min(size, HID_MAX_DESCRIPTOR_SIZE));
        if (ioctl(fd, HIDIOCGRDESC, &raw) < 0) return {};
        return parseReportDescriptor(raw.value, raw.size);
    }

    // Whether the device on `fd` numbers its reports, read once per handle
    // (the link reads on a handle of its own).
    bool numbered(int fd) {
        auto known = reportIds_.find(fd);
        if (known == reportIds_.end())
            known = reportIds_.emplace(fd, descriptor(fd).usesReportIds).first;
        return known->second;
    }

    // The identity of a node that could not be opened, from sysfs:
    // HID_ID=0003:0000VVVV:0000PPPP.
    void noteDenied(const std::string& path) {
        const std::string name = path.substr(path.rfind('/') + 1);
        std::ifstream uevent("/sys/class/hidraw/" + name + "/device/uevent");
        std::string line;
        while (std::getline(uevent, line)) {
            unsigned bus = 0, vendor = 0, product = 0;
            if (std::sscanf(line.c_str(), "HID_ID=%x:%x:%x", &bus, &vendor, &product) == 3) {
                denied_.push_back(
                    {path,
                     {static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product)}});
                return;
            }
        }
    }

    std::vector<DeniedDevice> denied_;
    std::map<int, bool> reportIds_; // by descriptor: does the device number its reports
};

} // namespace

Bus& systemBus() {
    static HidrawBus hidraw;
    return hidraw;
}

} // namespace platform::hid
