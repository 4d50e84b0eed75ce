#include "steps/claim.h"

#include "platform/lock.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace steps {

bool claimAdapter(platform::hid::Bus& bus, bool quiet, std::u16string* refusal) {
    // One per process, held to its end; the system gives it up if the
    // process dies half-way.
    static platform::MachineLock lock;
    const std::string name = bus.sharedName();
    if (name.empty()) return true;
    std::string detail;
    const platform::LockResult result = lock.tryAcquire(name, &detail);
    if (result == platform::LockResult::Held) return true;
    if (result == platform::LockResult::Busy) {
        if (refusal) *refusal = kAdapterBusyText;
        if (!detail.empty() && !quiet)
            platform::writeStandardError(
                platform::utf8ToUtf16("The adapter's lock is held by " + detail + ".\n"));
    } else if (refusal) {
        *refusal = platform::utf8ToUtf16(
            "The lock that keeps a second updater off the adapter could not be taken (" + detail +
            "). Nothing was sent to the adapter.");
    }
    return false;
}

} // namespace steps
