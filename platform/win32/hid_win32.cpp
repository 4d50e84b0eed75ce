// The Windows HID bus: SetupDi enumeration of HID interfaces, HidD/HidP for
// identity and capabilities, WriteFile for output reports, HidD_GetInputReport
// and overlapped ReadFile for input reports.
#include "platform/device_tree.h"
#include "platform/hid.h"
#include "platform/text.h"

#include <windows.h>

#include <cfgmgr32.h>
// The property keys are defined here, in the one file that asks for them.
#include <devpkey.h>
#include <initguid.h>
// mingw-w64's HID headers lack C linkage of their own.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::hid {

namespace {

// DEVPKEY_Device_LocationPaths (devpkey.h), defined here: the import
// libraries define no property keys.
const DEVPROPKEY kLocationPaths = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};

class Win32Bus : public Bus {
  public:
    std::vector<std::string> enumerate() override {
        std::vector<std::string> paths;
        GUID guid;
        HidD_GetHidGuid(&guid);
        HDEVINFO set =
            SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) return paths;
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
            DWORD required = 0;
            SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
            if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
            std::vector<std::uint8_t> block(required);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            SP_DEVINFO_DATA device{};
            device.cbSize = sizeof device;
            if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, &device))
                continue;
            const std::wstring path(detail->DevicePath);
            paths.push_back(utf16ToUtf8(std::u16string(path.begin(), path.end())));
            const std::lock_guard lock(mutex_);
            devices_[paths.back()] = device.DevInst;
        }
        SetupDiDestroyDeviceInfoList(set);
        return paths;
    }

    Handle open(const std::string& path, OpenMode mode) override {
        const std::u16string wide = utf8ToUtf16(path);
        const std::wstring name(wide.begin(), wide.end());
        DWORD access = 0, flags = 0;
        // The write handle is overlapped too: a synchronous write to a device
        // that stops taking reports would never return.
        if (mode == OpenMode::Write) {
            access = GENERIC_WRITE;
            flags = FILE_FLAG_OVERLAPPED;
        }
        if (mode == OpenMode::OverlappedRead) {
            access = GENERIC_READ;
            flags = FILE_FLAG_OVERLAPPED;
        }
        HANDLE h = CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, flags, nullptr);
        if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
        return reinterpret_cast<Handle>(h);
    }

    bool attributes(Handle h, Attributes& out) override {
        HIDD_ATTRIBUTES a{};
        a.Size = sizeof a;
        if (!HidD_GetAttributes(native(h), &a)) return false;
        out.vendorId = a.VendorID;
        out.productId = a.ProductID;
        return true;
    }

    bool capabilities(Handle h, Capabilities& out) override {
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (!HidD_GetPreparsedData(native(h), &preparsed) || preparsed == nullptr) return false;
        HIDP_CAPS caps{};
        const bool ok = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
        HidD_FreePreparsedData(preparsed);
        if (!ok) return false;
        out.usagePage = caps.UsagePage;
        out.inputReportLength = caps.InputReportByteLength;
        out.outputReportLength = caps.OutputReportByteLength;
        return true;
    }

    // The location path of the USB device the HID collection belongs to,
    // or its instance ID where the system gives no location path.
    std::string location(const std::string& path) override {
        DEVINST node = 0;
        {
            const std::lock_guard lock(mutex_);
            const auto found = devices_.find(path);
            if (found == devices_.end()) return withoutIdentity(path);
            node = found->second;
        }
        ConfigurationManagerTree tree;
        const std::string location = usbDeviceLocation(tree, node);
        return location.empty() ? withoutIdentity(path) : location;
    }

    // The USB serial-number string, read through the HID class driver from a
    // handle opened without access (as for its attributes).
    std::string serial(const std::string& path) override {
        const Handle h = open(path, OpenMode::Info);
        if (h == kInvalidHandle) return {};
        WCHAR text[128] = {};
        const bool ok = HidD_GetSerialNumberString(native(h), text, sizeof text - sizeof(WCHAR));
        CloseHandle(native(h));
        return ok ? utf8(text) : std::string();
    }

    // The call cannot tell whose installation is pending: a device plugged
    // in elsewhere, or Windows Update installing a driver, would hold every
    // search for its whole limit. The first time one is pending, it gets a
    // brief wait (an adapter that has just re-enumerated is usually done
    // within it); after that the search goes on regardless, and a device
    // that cannot be opened yet is simply tried again.
    bool installPending() override {
        if (waitedForInstall_.load() || CMP_WaitNoPendingInstallEvents(0) == WAIT_OBJECT_0)
            return false;
        if (!waitedForInstall_.exchange(true)) CMP_WaitNoPendingInstallEvents(kInstallWaitMs);
        return false;
    }
    std::string sharedName() override { return "hid"; }

    // A report goes out within milliseconds; one that the device has not
    // taken after this long is cancelled and the write fails (the link then
    // closes, as for any failed write).
    static constexpr DWORD kWriteTimeoutMs = 5000;

    bool write(Handle h, const std::uint8_t* report, std::size_t length) override {
        if (h == kInvalidHandle || report == nullptr) return false;
        auto transfer = std::make_unique<Transfer>(report, length);
        if (!transfer->overlapped.hEvent) return false;
        DWORD written = 0;
        bool ok = WriteFile(native(h), transfer->buffer.data(), static_cast<DWORD>(length), nullptr,
                            &transfer->overlapped);
        if (ok) {
            ok = GetOverlappedResult(native(h), &transfer->overlapped, &written, FALSE);
        } else if (GetLastError() == ERROR_IO_PENDING) {
            // Only a pending write is waited for or cancelled (one that failed
            // at once never signals its event).
            if (WaitForSingleObject(transfer->overlapped.hEvent, kWriteTimeoutMs) == WAIT_OBJECT_0)
                ok = GetOverlappedResult(native(h), &transfer->overlapped, &written, FALSE);
            else if (!cancelled(h, transfer))
                return false; // the failed write closes the link, and so the handle
        }
        return ok && written == length;
    }

    ReadResult getInputReport(Handle h, std::uint8_t* report, std::size_t length) override {
        if (h == kInvalidHandle) return ReadResult::Failed;
        if (HidD_GetInputReport(native(h), report, static_cast<ULONG>(length)))
            return ReadResult::Ok;
        return failure(GetLastError());
    }

    ReadResult readReport(Handle h, std::uint8_t* report, std::size_t length,
                          int timeoutMs) override {
        if (h == kInvalidHandle) return ReadResult::Failed;
        auto transfer = std::make_unique<Transfer>(nullptr, length);
        if (!transfer->overlapped.hEvent) return ReadResult::Failed;
        DWORD got = 0;
        ReadResult result = ReadResult::Ok;
        // The byte count of an overlapped read comes from GetOverlappedResult.
        if (!ReadFile(native(h), transfer->buffer.data(), static_cast<DWORD>(length), nullptr,
                      &transfer->overlapped)) {
            const DWORD error = GetLastError();
            // A read that failed without pending was never queued: the
            // system neither signals its event nor finishes it later, so
            // there is nothing to cancel or wait for (waiting would hang).
            if (error != ERROR_IO_PENDING) return failure(error);
            if (WaitForSingleObject(transfer->overlapped.hEvent, static_cast<DWORD>(timeoutMs)) !=
                WAIT_OBJECT_0) {
                // A read the system did not end when cancelled may still
                // deliver a report: the link is dropped rather than have it
                // taken for the answer to a later command.
                return cancelled(h, transfer) ? ReadResult::TimedOut : ReadResult::Gone;
            }
            if (!GetOverlappedResult(native(h), &transfer->overlapped, &got, FALSE))
                return failure(GetLastError());
        } else if (!GetOverlappedResult(native(h), &transfer->overlapped, &got, FALSE)) {
            return failure(GetLastError());
        }
        std::copy_n(transfer->buffer.begin(), std::min<std::size_t>(got, length), report);
        return result;
    }

    void close(Handle h) override {
        if (h != kInvalidHandle) CloseHandle(native(h));
    }

  private:
    static HANDLE native(Handle h) { return reinterpret_cast<HANDLE>(h); }

    // An overlapped transfer's OVERLAPPED, event and buffer, on the heap:
    // drivers need not honour a cancellation, and a transfer the system has
    // not ended may still read or write them.
    struct Transfer {
        Transfer(const std::uint8_t* data, std::size_t length) : buffer(length) {
            if (data != nullptr) std::copy_n(data, length, buffer.begin());
            overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        }
        ~Transfer() {
            if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
        }
        OVERLAPPED overlapped{};
        std::vector<std::uint8_t> buffer;
    };

    // A cancelled transfer is waited for, with a limit; true when it ended.
    // One that did not is given up to the system for good: its memory is
    // never freed, the caller's link closes the handle.
    static constexpr DWORD kCancelWaitMs = 2000;
    static bool cancelled(Handle h, std::unique_ptr<Transfer>& transfer) {
        CancelIoEx(native(h), &transfer->overlapped);
        DWORD count = 0;
        if (WaitForSingleObject(transfer->overlapped.hEvent, kCancelWaitMs) == WAIT_OBJECT_0) {
            GetOverlappedResult(native(h), &transfer->overlapped, &count, FALSE);
            return true;
        }
        static std::mutex parkedMutex;
        static std::vector<std::unique_ptr<Transfer>>* parked =
            new std::vector<std::unique_ptr<Transfer>>;
        const std::lock_guard lock(parkedMutex);
        parked->push_back(std::move(transfer));
        return false;
    }

    // The configuration manager's device tree.
    class ConfigurationManagerTree : public DeviceTree {
      public:
        bool parent(std::uint32_t node, std::uint32_t& parent) override {
            DEVINST up = 0;
            if (CM_Get_Parent(&up, node, 0) != CR_SUCCESS) return false;
            parent = up;
            return true;
        }
        std::string instanceId(std::uint32_t node) override {
            WCHAR text[1024] = {};
            return CM_Get_Device_IDW(node, text, 1023, 0) == CR_SUCCESS ? utf8(text) : "";
        }
        std::string locationPath(std::uint32_t node) override {
            DEVPROPTYPE type = 0;
            WCHAR text[1024] = {};
            ULONG size = sizeof text - sizeof(WCHAR);
            if (CM_Get_DevNode_PropertyW(node, &kLocationPaths, &type,
                                         reinterpret_cast<PBYTE>(text), &size, 0) == CR_SUCCESS &&
                type == DEVPROP_TYPE_STRING_LIST && text[0] != 0)
                return utf8(text);
            return {};
        }
    };
    // Where the device tree says nothing (Wine has no parent for its HID
    // devices), the interface path without its "vid_XXXX&pid_XXXX": the
    // same for the adapter's application and loader identities.
    static std::string withoutIdentity(std::string path) {
        std::string lower = path;
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        const std::size_t at = lower.find("vid_");
        if (at != std::string::npos && lower.compare(at + 8, 5, "&pid_") == 0) path.erase(at, 17);
        return path;
    }
    static std::string utf8(const WCHAR* text) {
        const std::wstring w(text);
        return utf16ToUtf8(std::u16string(w.begin(), w.end()));
    }

    // The device node of each path of the enumerations so far; several
    // sessions (one per adapter) enumerate from their own threads.
    std::mutex mutex_;
    std::map<std::string, DEVINST> devices_;
    static constexpr DWORD kInstallWaitMs = 2000;
    std::atomic<bool> waitedForInstall_{false};

    // The errors of a removed device, as the HID class driver reports them.
    static ReadResult failure(DWORD error) {
        return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_GEN_FAILURE ||
                       error == ERROR_FILE_NOT_FOUND
                   ? ReadResult::Gone
                   : ReadResult::Failed;
    }
};

} // namespace

Bus& systemBus() {
    static Win32Bus bus;
    return bus;
}

} // namespace platform::hid
