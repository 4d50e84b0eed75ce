// Every text the window shows, in one place: its labels, message boxes and
// the result line's words for what the connection and update tell.
#pragma once

#include "steps/run.h"

#include <utility>

namespace dialog::words {

inline constexpr const char16_t* kNotConnected = u"Not Connected";
inline constexpr const char16_t* kNotAvailable = u"NA";
inline constexpr const char16_t* kConnectingAp = u"Connecting AP";
inline constexpr const char16_t* kConnectingIap = u"Connecting IAP";
inline constexpr const char16_t* kConnectApFail = u"Connect AP Fail!";
inline constexpr const char16_t* kConnected = u"Connected";
inline constexpr const char16_t* kImageInvalid = u"Image format invalid!";
inline constexpr const char16_t* kImageInvalidCaption = u"Image Format Invalid";
inline constexpr const char16_t* kTooLarge = u"Image size is large the chip size!";
inline constexpr const char16_t* kTooLargeCaption = u"Image Size Error";
inline constexpr const char16_t* kResettingDevice = u"Reset device....";
inline constexpr const char16_t* kBusyUpdating =
    u"The adapter is being updated. Please wait until the update has finished; the window can "
    u"be closed then.";
inline constexpr const char16_t* kBusyConnecting =
    u"The adapter is being connected. Please wait until the connection has finished; the "
    u"window can be closed then.";
// What the system shows while the window holds the end of the session.
inline constexpr const char16_t* kSessionBlockReason = u"Updating the adapter's firmware";

// The result line's words for the steps' notes that have them.
inline constexpr std::pair<steps::Event, const char16_t*> kResults[] = {
    {steps::Event::LoaderMissing, u"Connect IAP Fail!"},
    {steps::Event::ImagesInvalid, kImageInvalid},
    {steps::Event::ErasingExternal, u"Erasing external...."},
    {steps::Event::ProgrammingExternal, u"Programming external...."},
    {steps::Event::ProgramExternalFailed, u"Program External Failed!"},
    {steps::Event::VerifyingExternal, u"Verifing external...."},
    {steps::Event::ExternalVerifyFailed, u"External Verify Failed!"},
    {steps::Event::ErasingInternal, u"Eraseing internal...."},
    {steps::Event::MassEraseFailed, u"Mass Erase failed!"},
    {steps::Event::Resetting, u"Reset...."},
    {steps::Event::ResetFailed, u"Reset Failed!"},
    {steps::Event::Reconnecting, u"Connecting...."},
    {steps::Event::ReconnectFailed, u"Connect IAP Fail!"},
    {steps::Event::ProgrammingInternal, u"Programming internal...."},
    {steps::Event::ProgramFailed, u"Program Failed!"},
    {steps::Event::VerifyingInternal, u"Verifing...."},
    {steps::Event::VerifyFailed, u"AP Verify Failed!"},
    {steps::Event::DigestCheck, u"Digest Check...."},
    {steps::Event::ProgramVersionFailed, u"Program Version Failed!"},
    {steps::Event::VersionVerifyFailed, u"Version Verify Failed!"},
    {steps::Event::Restarting, u"Reset to AP..."},
    {steps::Event::Returned, u"Operation Success"},
    {steps::Event::NotReturned, u"[ERROR] Can't Reset to AP..."},
    {steps::Event::Succeeded, u"Operation successful."},
};

} // namespace dialog::words
