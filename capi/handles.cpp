// The device library's handles (isp/brisklink.h): each one a session of its
// own on the process's bus, the release of a packed updater, and the steps
// of the console's connection and update, run with a face that records
// failures instead of printing them.
#include "brisklink/brisklink.h"

#include "image/program.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "steps/adapters.h"
#include "steps/claim.h"
#include "steps/run.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

struct bl_adapter {
    bl_adapter() : session(&platform::hid::bus()), run{session, program} {}
    isp::Session session;
    image::ProgramData program;
    steps::Run run;
    std::string location;
    std::string error;
    // The connection has opened the loader's session, which a close ends.
    bool inLoader = false;
    // One call at a time uses the link; a close waits for the running one,
    // which it has asked to stop, and for those already waiting (they find
    // it closing), and no call starts after it.
    std::mutex calls;
    std::atomic<bool> closing{false};
    std::mutex entry;
    std::condition_variable idle;
    int users = 0; // calls begun and not yet ended (under `entry`)
};

namespace {

constexpr int kBadArguments = 18;

// A call's hold on its handle's link: false when the handle is closing.
class Call {
  public:
    explicit Call(bl_adapter& adapter) : adapter_(adapter), hold_(enter(adapter)) {
        if (adapter.closing) adapter.error = "the handle is being closed";
    }
    ~Call() {
        hold_.unlock();
        // The last touch of the handle: a close waiting for it frees the
        // handle only once this has let go of `entry`.
        const std::lock_guard left(adapter_.entry);
        if (--adapter_.users == 0) adapter_.idle.notify_all();
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    explicit operator bool() const { return !adapter_.closing; }

  private:
    static std::mutex& enter(bl_adapter& adapter) {
        const std::lock_guard counted(adapter.entry);
        ++adapter.users;
        return adapter.calls;
    }
    bl_adapter& adapter_;
    std::unique_lock<std::mutex> hold_;
};

// The locations with an open handle in this process: the adapter's lock is
// the process's, so a second handle is refused here.
std::mutex openMutex;
std::set<std::string> openLocations;

void copyText(const std::string& text, char* out, int size) {
    if (out == nullptr || size <= 0) return;
    std::size_t n = std::min(text.size(), static_cast<std::size_t>(size - 1));
    // A text cut short is cut between characters, never inside one.
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    std::memcpy(out, text.data(), n);
    out[n] = 0;
}

// What a failed step is called in bl_last_error; events that are no
// failure have none.
const char* failureText(steps::Event event) {
    using steps::Event;
    switch (event) {
    case Event::ApplicationMissing:
        return "the adapter did not answer as its application or its loader";
    case Event::LoaderMissing:
        return "the adapter's loader did not appear after its restart";
    case Event::HungLoader:
        return "the adapter's loader takes no commands (held by an interrupted session, or hung): "
               "unplug it and plug it in again";
    case Event::WrongCommandKey:
        return "the updater's command key is not the adapter's";
    case Event::ImagesInvalid:
        return "the updater's firmware images cannot be read";
    case Event::TooLarge:
        return "the firmware is larger than the adapter's flash";
    case Event::ProgramExternalFailed:
        return "programming the external image failed";
    case Event::ExternalVerifyFailed:
        return "verifying the external image failed";
    case Event::MassEraseFailed:
        return "the mass erase failed";
    case Event::ResetFailed:
        return "the reset before the erase failed";
    case Event::ReconnectFailed:
        return "the loader did not come back after its reset";
    case Event::ProgramFailed:
        return "programming the internal image failed";
    case Event::VerifyFailed:
        return "verifying the internal image failed";
    case Event::ProgramVersionFailed:
        return "writing the version record failed";
    case Event::VersionVerifyFailed:
        return "verifying the version record failed";
    case Event::NotReturned:
        return "written and verified, but the adapter did not come back running its application";
    default:
        return nullptr;
    }
}

class LibraryFace : public steps::FrontEnd {
  public:
    LibraryFace(bl_adapter& adapter, bl_progress progress = nullptr, void* user = nullptr)
        : adapter_(adapter), progress_(progress), user_(user) {}

    const steps::Pacing& pacing() const override { return steps::kStandardPacing; }
    bool stopRequested() override { return adapter_.session.stop().requested(); }
    bool quiet() const override { return true; }

    void note(const steps::Note& note) override {
        using steps::Event;
        std::string text;
        switch (note.event) {
        case Event::ItemFailed:
            text = "information item " + std::to_string(note.attempt) + " did not come";
            break;
        case Event::AccessDenied:
            text = platform::utf16ToUtf8(note.text) +
                   " is the adapter, but this user may not open it (a udev rule gives access)";
            break;
        case Event::EraseExternalFailed:
        case Event::EraseVersionFailed:
        case Event::EraseApplicationFailed:
        case Event::AdapterBusy:
            text = platform::utf16ToUtf8(note.text);
            break;
        default:
            if (const char* words = failureText(note.event)) text = words;
        }
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
            text.pop_back();
        // The first failure is the cause; what follows it is its result.
        if (!text.empty() && adapter_.error.empty()) adapter_.error = text;
    }

    int run(steps::Step step, std::uint64_t bytes, const std::function<int()>& body) override {
        if (progress_ == nullptr) return body();
        const char* name = steps::stepName(step);
        progress_(user_, name, 0);
        int shown = 0;
        // A pass publishes its progress; a second thread only reads it,
        // from its first period on (before that the link may still hold
        // the last pass's end).
        bool first = true;
        const int result = bytes == 0 ? body() : platform::whileTicking(body, 100, [&] {
            const int percent = adapter_.session.transProgress();
            if (!first && percent > shown && percent < 100) progress_(user_, name, shown = percent);
            first = false;
        });
        progress_(user_, name, 100);
        return result;
    }

  private:
    bl_adapter& adapter_;
    bl_progress progress_;
    void* user_;
};

// A long operation's span: a cancel raised during it stops it, and is gone
// once it returns (a cancel while nothing runs stops nothing).
class Cancellable {
  public:
    explicit Cancellable(bl_adapter& adapter) : adapter_(adapter) {
        adapter_.session.stop().clear();
        // A close that began meanwhile has raised the stop before this
        // cleared it: it stands.
        if (adapter_.closing) adapter_.session.stop().request();
        adapter_.run.facts = {};
    }
    ~Cancellable() { adapter_.session.stop().clear(); }
    Cancellable(const Cancellable&) = delete;
    Cancellable& operator=(const Cancellable&) = delete;
    // The reason a cancelled operation gives: the step it stopped in.
    bool cancelled(const steps::Facts& facts) {
        if (!adapter_.session.stop().requested()) return false;
        adapter_.error = "cancelled";
        if (facts.step) adapter_.error += std::string(" during ") + steps::stepName(*facts.step);
        return true;
    }

  private:
    bl_adapter& adapter_;
};

bool loadUpdater(const char* path, image::ProgramData& program, std::string& error) {
    if (path == nullptr || !image::loadProgram(program, path)) {
        error = std::string("'") + (path ? path : "(null)") +
                "' is not a packed updater (no valid trailer)";
        return false;
    }
    return true;
}

} // namespace

extern "C" {

BRISKLINK_API int bl_list(const char* updater, bl_found* found, int capacity) {
    image::ProgramData program;
    std::string error;
    if (!loadUpdater(updater, program, error)) return -1;
    const auto all = steps::listAdapters(platform::hid::bus(), program);
    for (int i = 0; found != nullptr && i < capacity && i < static_cast<int>(all.size()); ++i) {
        const steps::FoundAdapter& a = all[static_cast<std::size_t>(i)];
        bl_found& f = found[i];
        copyText(a.location, f.location, sizeof f.location);
        copyText(a.loader ? "loader" : "application", f.mode, sizeof f.mode);
        f.vendor_id = a.vendorId;
        f.product_id = a.productId;
        copyText(a.serial, f.serial, sizeof f.serial);
    }
    return static_cast<int>(all.size());
}

BRISKLINK_API bl_adapter* bl_open(const char* updater, const char* location, char* error,
                                  int errorSize) {
    auto adapter = std::make_unique<bl_adapter>();
    std::string why;
    if (location == nullptr || *location == 0) why = "no location given";
    if (why.empty()) loadUpdater(updater, adapter->program, why);
    if (!why.empty()) {
        copyText(why, error, errorSize);
        return nullptr;
    }
    adapter->location = location;
    {
        const std::lock_guard guard(openMutex);
        if (!openLocations.insert(adapter->location).second) {
            copyText(std::string("the adapter at ") + location + " is open already", error,
                     errorSize);
            return nullptr;
        }
    }
    auto fail = [&](const std::string& text) -> bl_adapter* {
        const std::lock_guard guard(openMutex);
        openLocations.erase(adapter->location);
        copyText(text, error, errorSize);
        return nullptr;
    };
    platform::hid::Bus& bus = adapter->session.bus();
    bool there = false;
    for (int look = 0; look < 7 && !there; ++look) {
        if (look > 0) steps::pause(500, adapter->session.stop());
        for (const steps::FoundAdapter& a : steps::listAdapters(bus, adapter->program))
            there = there || a.location == adapter->location;
    }
    if (!there) return fail(std::string("no adapter at ") + location);
    std::u16string refusal;
    std::string holder;
    if (!steps::claimAdapter(bus, adapter->location, &refusal, &holder))
        return fail(platform::utf16ToUtf8(refusal) +
                    (holder.empty() ? std::string() : " (its lock is held by " + holder + ")"));
    adapter->session.follow(adapter->location);
    steps::useReleaseKey(adapter->session, adapter->program);
    return adapter.release();
}

BRISKLINK_API void bl_close(bl_adapter* adapter) {
    if (adapter == nullptr) return;
    // A call running on another thread stops at its next report, as a
    // cancel stops it, and ends before the handle goes.
    adapter->closing = true;
    adapter->session.stop().request();
    {
        std::unique_lock wait(adapter->entry);
        adapter->idle.wait(wait, [adapter] { return adapter->users == 0; });
    }
    adapter->session.stop().clear();
    if (adapter->inLoader) adapter->session.resetToIap(1);
    adapter->session.close();
    steps::releaseAdapter(adapter->session.bus(), adapter->location);
    {
        const std::lock_guard guard(openMutex);
        openLocations.erase(adapter->location);
    }
    delete adapter;
}

BRISKLINK_API void bl_cancel(bl_adapter* adapter) {
    if (adapter != nullptr) adapter->session.stop().request();
}

BRISKLINK_API const char* bl_last_error(bl_adapter* adapter) {
    return adapter == nullptr ? "no handle" : adapter->error.c_str();
}

namespace {

int enterLoader(bl_adapter* adapter) {
    adapter->error.clear();
    Cancellable span(*adapter);
    LibraryFace face(*adapter);
    const steps::Connection c = steps::connect(adapter->run, face);
    adapter->inLoader = c == steps::Connection::Connected || c == steps::Connection::ReadFailed;
    if (c == steps::Connection::Connected) return 0;
    if (span.cancelled(adapter->run.facts)) return BL_INTERRUPTED;
    if (adapter->error.empty()) adapter->error = "the connection did not read every item";
    return 1;
}

} // namespace

BRISKLINK_API int bl_enter_loader(bl_adapter* adapter) {
    if (adapter == nullptr) return kBadArguments;
    const Call call(*adapter);
    return call ? enterLoader(adapter) : 1;
}

BRISKLINK_API int bl_read_version(bl_adapter* adapter, char* version, int size) {
    if (adapter == nullptr || version == nullptr || size <= 0) return kBadArguments;
    const Call call(*adapter);
    if (!call) return 1;
    if (!adapter->inLoader) {
        if (const int result = enterLoader(adapter); result != 0) return result;
    }
    const std::u16string& text = adapter->run.state.chipVersion;
    copyText(text == u"NA" ? std::string() : platform::utf16ToUtf8(text), version, size);
    return 0;
}

BRISKLINK_API int bl_run_application(bl_adapter* adapter) {
    if (adapter == nullptr) return kBadArguments;
    const Call call(*adapter);
    if (!call) return 1;
    adapter->error.clear();
    const int result = adapter->session.execute();
    adapter->session.close();
    adapter->inLoader = false;
    if (result != 0)
        adapter->error = "the adapter did not take the command to start its application";
    return result;
}

BRISKLINK_API int bl_update(bl_adapter* adapter, const char* updater, bl_progress progress,
                            void* user) {
    if (adapter == nullptr) return kBadArguments;
    const Call call(*adapter);
    if (!call) return 1;
    adapter->error.clear();
    image::ProgramData release = adapter->program;
    if (updater != nullptr && !loadUpdater(updater, release, adapter->error)) return 1;
    const image::ProgramData& own = adapter->program;
    if (release.apVendorId != own.apVendorId || release.apProductId != own.apProductId ||
        release.iapVendorId != own.iapVendorId || release.iapProductId != own.iapProductId) {
        adapter->error = "the updater is made for another adapter (its identities differ)";
        return 1;
    }
    steps::Run run{adapter->session, release, adapter->run.state, {}, {}};
    steps::useReleaseKey(adapter->session, release);
    Cancellable span(*adapter);
    LibraryFace face(*adapter, progress, user);
    if (!steps::prepareUpdateImages(release, run.images)) {
        adapter->error = "the updater's firmware images cannot be read";
        return 1;
    }
    if (!adapter->inLoader) {
        const steps::Connection c = steps::connect(run, face);
        adapter->inLoader = c == steps::Connection::Connected || c == steps::Connection::ReadFailed;
        if (c != steps::Connection::Connected) {
            if (span.cancelled(run.facts)) return BL_INTERRUPTED;
            if (adapter->error.empty()) adapter->error = "the connection did not read every item";
            return 1;
        }
    }
    const int status = steps::update(run, face);
    // The update ends the session either way: the adapter runs its new
    // firmware, or waits in its loader for another run.
    adapter->inLoader = false;
    adapter->run.state = run.state;
    steps::useReleaseKey(adapter->session, adapter->program);
    if (status != 0 && span.cancelled(run.facts)) return BL_INTERRUPTED;
    if (status != 0 && adapter->error.empty()) adapter->error = "the update failed";
    return status == 0 ? 0 : 1;
}

#define BL_CALL(operation)                                                                         \
    if (adapter == nullptr) return kBadArguments;                                                  \
    const Call call(*adapter);                                                                     \
    if (!call) return kBadArguments;                                                               \
    return adapter->session.operation

BRISKLINK_API int bl_get_information(bl_adapter* adapter, int kind, uint16_t* text,
                                     int* textBytes) {
    BL_CALL(getInformationStoringArea(kind, text, textBytes));
}
BRISKLINK_API int bl_send_authentication(bl_adapter* adapter) { BL_CALL(sendAuthentication()); }
BRISKLINK_API int bl_send_user_cmd(bl_adapter* adapter, const uint8_t* block) {
    BL_CALL(sendUserCmd(block));
}
BRISKLINK_API int bl_get_user_data(bl_adapter* adapter, uint8_t* buffer, int length) {
    BL_CALL(getUserData(buffer, length));
}
BRISKLINK_API int bl_get_user_result(bl_adapter* adapter, int seconds) {
    BL_CALL(getUserResult(seconds));
}
BRISKLINK_API int bl_execute(bl_adapter* adapter) { BL_CALL(execute()); }
BRISKLINK_API int bl_exit(bl_adapter* adapter) { BL_CALL(exit()); }
BRISKLINK_API int bl_reset(bl_adapter* adapter) { BL_CALL(reset()); }
BRISKLINK_API int bl_reset_to_iap(bl_adapter* adapter, int keyedCrc) {
    BL_CALL(resetToIap(keyedCrc));
}
BRISKLINK_API int bl_erase_mass(bl_adapter* adapter) { BL_CALL(eraseMass()); }
BRISKLINK_API int bl_erase_page(bl_adapter* adapter, uint32_t start, uint32_t end) {
    BL_CALL(erasePage(start, end));
}
BRISKLINK_API int bl_blank_check(bl_adapter* adapter, uint32_t start, uint32_t end) {
    BL_CALL(blankCheck(start, end));
}
BRISKLINK_API int bl_write_program(bl_adapter* adapter, uint32_t start, uint32_t end, int mode,
                                   const uint8_t* data) {
    BL_CALL(writeProgram(start, end, mode, data));
}
BRISKLINK_API int bl_read_data(bl_adapter* adapter, uint32_t start, uint32_t end, uint8_t* buffer) {
    BL_CALL(readData(start, end, buffer));
}
BRISKLINK_API int bl_crc_check(bl_adapter* adapter, uint16_t* result, const uint8_t* parameters) {
    BL_CALL(crcCheck(result, parameters));
}
// Read beside a running call (its progress), so without a hold on the link.
BRISKLINK_API int bl_get_trans_progress(bl_adapter* adapter) {
    return adapter == nullptr ? kBadArguments : adapter->session.transProgress();
}
BRISKLINK_API int bl_get_library_log(bl_adapter* adapter, uint16_t* buffer, int capacity) {
    BL_CALL(getLibraryLog(buffer, capacity));
}

} // extern "C"
