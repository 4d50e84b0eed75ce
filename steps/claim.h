// The one-updater lock: two updaters at once would interleave their reports
// on one adapter.
#pragma once

#include "platform/hid.h"

#include <string>

namespace steps {

// Claims the adapters of `bus` for this process until it ends. False
// (nothing sent) when another updater holds them or when the lock cannot be
// taken at all (an unguarded run could meet another on the adapter); then
// `refusal`, when given, is the text to show, and what holds the lock, where
// the system tells, has been said on standard error unless `quiet`.
bool claimAdapter(platform::hid::Bus& bus, bool quiet, std::u16string* refusal = nullptr);

inline constexpr const char16_t* kAdapterBusyText =
    u"Another updater is using the adapter. Run this one again when it has finished.";

} // namespace steps
