// The one-updater lock of each adapter: two updaters at once would
// interleave their reports on one adapter, while updaters on different
// adapters do not meet.
#pragma once

#include "platform/hid.h"

#include <string>

namespace steps {

// Claims the adapter at `location` of `bus` (every adapter of the bus when
// `location` is empty) for this process until it ends; a process may hold
// the locks of several adapters. False (nothing sent) when another updater
// holds it or when the lock cannot be taken at all (an unguarded run could
// meet another on the adapter); then `refusal`, when given, is the text to
// show, and `holder` the updater that holds the lock, as far as the system
// tells ("process 123 (IAP) of user 1000"), else empty (a holder that is not
// an updater is named in the refusal). `notice`, set at most once a process,
// says when the adapter is guarded less than usual (a lock file this user
// cannot use).
bool claimAdapter(platform::hid::Bus& bus, const std::string& location,
                  std::u16string* refusal = nullptr, std::string* holder = nullptr,
                  std::string* notice = nullptr);

// Gives up this process's lock of the adapter at `location` (the device
// library's handle is closed), so that other updaters may take it.
void releaseAdapter(platform::hid::Bus& bus, const std::string& location);

inline constexpr const char16_t* kAdapterBusyText =
    u"Another updater is using the adapter. Run this one again when it has finished.";

} // namespace steps
