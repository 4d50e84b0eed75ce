// The Linux HID bus over hidraw: the nodes listed in /sys/class/hidraw,
// identity from HIDIOCGRAWINFO, capabilities from the report descriptor,
// output reports with write(), GET_REPORT with HIDIOCGINPUT, interrupt
// reads with poll() and read().
#include "platform/hid.h"
#include "platform/interrupt.h"
#include "platform/linux/hid_descriptor.h"
#include "platform/platform.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// The name of a hidraw node's sysfs entry: "/dev/hidraw3" → "hidraw3".
std::string nodeName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The HID device's identity from sysfs (HID_ID=0003:0000VVVV:0000PPPP),
// without opening the node.
bool sysfsIdentity(const std::string& path, Attributes& out) {
    std::ifstream uevent("/sys/class/hidraw/" + nodeName(path) + "/device/uevent");
    std::string line;
    while (std::getline(uevent, line)) {
        unsigned bus = 0, vendor = 0, product = 0;
        if (std::sscanf(line.c_str(), "HID_ID=%x:%x:%x", &bus, &vendor, &product) == 3) {
            out = {static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product)};
            return true;
        }
    }
    return false;
}

// One "KEY=value" of a HID device's uevent file; empty when it has none.
std::string ueventValue(const std::string& path, const std::string& key) {
    std::ifstream uevent("/sys/class/hidraw/" + nodeName(path) + "/device/uevent");
    std::string line;
    while (std::getline(uevent, line))
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return {};
}

// The USB port path of the device a hidraw node belongs to ("1-2.3": the
// sysfs name of the USB device, the parent of the HID interface's parent),
// or the HID device's physical path where it is not on USB (a uhid device).
std::string sysfsLocation(const std::string& path) {
    char resolved[PATH_MAX];
    const std::string device = "/sys/class/hidraw/" + nodeName(path) + "/device";
    if (::realpath(device.c_str(), resolved) != nullptr) {
        std::string dir = resolved;
        for (int up = 0; up < 4 && dir.size() > 1; ++up) {
            dir.resize(dir.rfind('/'));
            struct stat st {};
            // A USB device's directory is the one that has a devpath file.
            if (::stat((dir + "/devpath").c_str(), &st) == 0) return dir.substr(dir.rfind('/') + 1);
        }
    }
    const std::string phys = ueventValue(path, "HID_PHYS");
    return phys.empty() ? path : phys;
}

// A call on a node, made again when a signal cut it short before it did
// anything (hidraw's calls are not all restarted by SA_RESTART).
template <typename Call> auto restarted(Call call) {
    decltype(call()) n;
    do {
        n = call();
    } while (n < 0 && errno == EINTR);
    return n;
}

// Errors that say the node's device is no longer there.
bool removed(int error) { return error == ENODEV || error == ENXIO || error == ESHUTDOWN; }

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
        const std::lock_guard lock(mutex_);
        denied_.clear();
        return paths;
    }

    bool identity(const std::string& path, Attributes& out) override {
        return sysfsIdentity(path, out);
    }

    std::string location(const std::string& path) override { return sysfsLocation(path); }
    // The kernel's HID_UNIQ: usbhid puts the USB serial-number string
    // there, uhid its device's uniq.
    std::string serial(const std::string& path) override { return ueventValue(path, "HID_UNIQ"); }

    Handle open(const std::string& path, OpenMode mode) override {
        // Only reports go out on the write handle; identity, descriptor and
        // reads need no write access, so a node that only root may write
        // can still be recognised.
        const int flags = (mode == OpenMode::Write ? O_RDWR : O_RDONLY) | O_CLOEXEC;
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
        return restarted([&] { return ::write(fd(h), report, length); }) ==
               static_cast<ssize_t>(length);
    }

    ReadResult getInputReport(Handle h, std::uint8_t* report, std::size_t length) override {
        // The first byte names the report; the kernel answers from it on
        // and returns the count it filled. Only a whole report is an answer.
        const int n = restarted([&] { return ioctl(fd(h), HIDIOCGINPUT(length), report); });
        if (n == static_cast<int>(length)) return ReadResult::Ok;
        if (n < 0 && removed(errno)) return ReadResult::Gone;
        // HIDIOCGINPUT came with Linux 5.11; before, every status read fails
        // like this and the run would wait out its limits without a word.
        // Said at once, on standard error only: the run itself fails as any
        // run without answers does.
        if (n < 0 && (errno == EINVAL || errno == ENOTTY) && !oldKernelSaid_.exchange(true)) {
            writeStandardError(u"This Linux kernel is too old for the adapter's status reads "
                               u"through hidraw (HIDIOCGINPUT); Linux 5.11 or later is needed.\n");
        }
        return ReadResult::Failed;
    }

    ReadResult readReport(Handle h, std::uint8_t* report, std::size_t length,
                          int timeoutMs) override {
        if (length == 0) return ReadResult::Failed;
        pollfd p{fd(h), POLLIN, 0};
        // poll() is never restarted after a signal: the wait goes on with
        // the time it has left unless the signal asked the run to stop.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int ready;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            ready = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
            if (ready >= 0 || errno != EINTR || interruptRequested()) break;
        }
        if (ready == 0) return ReadResult::TimedOut;
        if (ready < 0) return ReadResult::Failed;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return ReadResult::Gone;
        // Without report IDs hidraw gives the report without its ID byte;
        // the link always sees the ID byte first, as on Windows.
        const bool withId = numbered(fd(h));
        std::memset(report, 0, length);
        const ssize_t n = restarted([&] {
            return withId ? ::read(fd(h), report, length) : ::read(fd(h), report + 1, length - 1);
        });
        if (n < 0 && removed(errno)) return ReadResult::Gone;
        return n > 0 ? ReadResult::Ok : ReadResult::Failed;
    }

    void close(Handle h) override {
        if (h < 0) return;
        {
            // Forgotten before the descriptor is closed: once closed, its
            // number may come back at once for another thread's node.
            const std::lock_guard lock(mutex_);
            reportIds_.erase(fd(h));
        }
        ::close(fd(h));
    }

    std::vector<DeniedDevice> deniedDevices() override {
        const std::lock_guard lock(mutex_);
        return denied_;
    }

  private:
    static int fd(Handle h) { return static_cast<int>(h); }

    static ReportDescriptor descriptor(int fd) {
        int size = 0;
        if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0) return {};
        // The kernel hands out at most HID_MAX_DESCRIPTOR_SIZE - 1 bytes
        // through the ioctl; a descriptor of the full size comes from sysfs.
        if (size >= HID_MAX_DESCRIPTOR_SIZE) return sysfsDescriptor(fd);
        hidraw_report_descriptor raw{};
        raw.size = static_cast<std::uint32_t>(size);
        if (ioctl(fd, HIDIOCGRDESC, &raw) < 0) return {};
        return parseReportDescriptor(raw.value, raw.size);
    }

    static ReportDescriptor sysfsDescriptor(int fd) {
        struct stat st {};
        if (fstat(fd, &st) != 0) return {};
        const std::string path = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                                 std::to_string(minor(st.st_rdev)) + "/device/report_descriptor";
        std::ifstream file(path, std::ios::binary);
        std::vector<std::uint8_t> bytes(HID_MAX_DESCRIPTOR_SIZE);
        file.read(reinterpret_cast<char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return parseReportDescriptor(bytes.data(), static_cast<std::size_t>(file.gcount()));
    }

    // Whether the device on `fd` numbers its reports, read once per handle
    // (the link reads on a handle of its own).
    bool numbered(int fd) {
        {
            const std::lock_guard lock(mutex_);
            const auto known = reportIds_.find(fd);
            if (known != reportIds_.end()) return known->second;
        }
        const bool uses = descriptor(fd).usesReportIds;
        const std::lock_guard lock(mutex_);
        return reportIds_.emplace(fd, uses).first->second;
    }

    // The identity of a node that could not be opened, for the udev hint.
    void noteDenied(const std::string& path) {
        Attributes id;
        const std::lock_guard lock(mutex_);
        if (sysfsIdentity(path, id)) denied_.push_back({path, id});
    }

    // Sessions on several adapters enumerate from their own threads.
    std::mutex mutex_;
    std::vector<DeniedDevice> denied_;
    std::map<int, bool> reportIds_; // by descriptor: does the device number its reports
    std::atomic<bool> oldKernelSaid_{false};
};

} // namespace

Bus& systemBus() {
    static HidrawBus hidraw;
    return hidraw;
}

} // namespace platform::hid
