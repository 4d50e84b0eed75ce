#include "steps/claim.h"

#include "platform/lock.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

namespace steps {

namespace {

// The lock's name for an adapter: the bus's shared name and the adapter's
// location, a long location (a Windows location path can be) cut and
// completed by its FNV-1a hash so that the name stays within what the
// system takes.
std::string lockName(const std::string& shared, const std::string& location) {
    if (location.empty()) return shared;
    std::string place = location;
    if (place.size() > 48) {
        std::uint32_t hash = 2166136261u;
        for (unsigned char c : location)
            hash = (hash ^ c) * 16777619u;
        char suffix[12];
        std::snprintf(suffix, sizeof suffix, "-%08x", static_cast<unsigned>(hash));
        place = place.substr(0, 39) + suffix;
    }
    return shared + "-" + place;
}

// One lock per adapter, each held to the end of the process (or, for the
// device library, until its handle is closed); the system gives them up if
// the process dies half-way.
std::mutex mutex;
std::map<std::string, std::unique_ptr<platform::MachineLock>> locks;

} // namespace

void releaseAdapter(platform::hid::Bus& bus, const std::string& location) {
    const std::string shared = bus.sharedName();
    if (shared.empty()) return;
    const std::lock_guard guard(mutex);
    locks.erase(lockName(shared, location));
}

namespace {

// "process 123 (IAP) of user 1000", as far as the system tells; the names
// are the holder's own, shown as outside text.
std::string holderText(const platform::LockHolder& h) {
    std::string text = h.process > 0 ? "process " + std::to_string(h.process)
                       : h.updater   ? "an updater"
                                     : "a process";
    if (h.process > 0 && !h.command.empty()) text += " (" + platform::shown(h.command) + ")";
    if (!h.user.empty()) text += " of user " + platform::shown(h.user);
    if (h.process <= 0 && h.user.empty()) text = "a process the system does not name";
    return text;
}

// A weaker guard is said once a process, not once an adapter.
std::atomic<bool> noticeGiven{false};

} // namespace

bool claimAdapter(platform::hid::Bus& bus, const std::string& location, std::u16string* refusal,
                  std::string* holder, std::string* notice) {
    const std::string shared = bus.sharedName();
    if (shared.empty()) return true;
    const std::string name = lockName(shared, location);
    platform::LockReport report;
    platform::LockResult result;
    {
        const std::lock_guard guard(mutex);
        auto& lock = locks[name];
        if (!lock) lock = std::make_unique<platform::MachineLock>();
        result = lock->tryAcquire(name, &report);
    }
    if (result == platform::LockResult::Held) {
        if (notice && !report.notice.empty() && !noticeGiven.exchange(true))
            *notice = report.notice;
        return true;
    }
    if (result == platform::LockResult::Busy && report.holder.updater) {
        if (refusal) *refusal = kAdapterBusyText;
        if (holder) *holder = holderText(report.holder);
    } else if (result == platform::LockResult::Busy && refusal) {
        // Whatever holds it took the updaters' name without being one:
        // saying "another updater" would send the user looking for one.
        *refusal = platform::utf8ToUtf16("The adapter's lock is held by " +
                                         holderText(report.holder) + ", which is not an updater.");
    } else if (refusal) {
        *refusal = platform::utf8ToUtf16(
            "The lock that keeps a second updater off the adapter could not be taken (" +
            report.reason + "). Nothing was sent to the adapter.");
    }
    return false;
}

} // namespace steps
