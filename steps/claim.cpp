#include "steps/claim.h"

#include "platform/lock.h"
#include "platform/platform.h"
#include "platform/text.h"

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

bool claimAdapter(platform::hid::Bus& bus, const std::string& location, std::u16string* refusal,
                  std::string* holder) {
    const std::string shared = bus.sharedName();
    if (shared.empty()) return true;
    const std::string name = lockName(shared, location);
    std::string detail;
    platform::LockResult result;
    {
        const std::lock_guard guard(mutex);
        auto& lock = locks[name];
        if (!lock) lock = std::make_unique<platform::MachineLock>();
        result = lock->tryAcquire(name, &detail);
    }
    if (result == platform::LockResult::Held) return true;
    if (result == platform::LockResult::Busy) {
        if (refusal) *refusal = kAdapterBusyText;
        if (holder) *holder = detail;
    } else if (refusal) {
        *refusal = platform::utf8ToUtf16(
            "The lock that keeps a second updater off the adapter could not be taken (" + detail +
            "). Nothing was sent to the adapter.");
    }
    return false;
}

} // namespace steps
