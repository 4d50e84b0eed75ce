#include "steps/facts.h"

#include "steps/run.h"

#include <cstdio>

namespace steps {

namespace {

constexpr const char* kStepNames[kStepCount] = {
    "connect",         "save",           "check_image",   "erase_external",  "program_external",
    "verify_external", "erase_internal", "reset",         "wait_for_loader", "program_internal",
    "verify_internal", "digest_check",   "write_version", "restart",         "return_check",
};

// The step each event begins, and the step each failure event ends.
std::optional<Step> begins(Event event) {
    switch (event) {
    case Event::SearchApplication:
    case Event::SearchLoader:
        return Step::Connect;
    case Event::ErasingExternal:
        return Step::EraseExternal;
    case Event::ProgrammingExternal:
        return Step::ProgramExternal;
    case Event::VerifyingExternal:
        return Step::VerifyExternal;
    case Event::ErasingInternal:
        return Step::EraseInternal;
    case Event::Resetting:
        return Step::Reset;
    case Event::Reconnecting:
        return Step::WaitForLoader;
    case Event::ProgrammingInternal:
        return Step::ProgramInternal;
    case Event::VerifyingInternal:
        return Step::VerifyInternal;
    case Event::DigestCheck:
        return Step::DigestCheck;
    case Event::WritingVersion:
        return Step::WriteVersion;
    case Event::Restarting:
        return Step::Restart;
    case Event::WaitingForReturn:
        return Step::ReturnCheck;
    default:
        return std::nullopt;
    }
}

std::optional<Step> fails(Event event) {
    switch (event) {
    case Event::ApplicationMissing:
    case Event::LoaderMissing:
    case Event::ItemFailed:
    case Event::HungLoader:
    case Event::WrongCommandKey:
    case Event::AdapterBusy:
        return Step::Connect;
    case Event::ImagesInvalid:
    case Event::TooLarge:
        return Step::CheckImage;
    case Event::EraseExternalFailed:
        return Step::EraseExternal;
    case Event::ProgramExternalFailed:
        return Step::ProgramExternal;
    case Event::ExternalVerifyFailed:
        return Step::VerifyExternal;
    case Event::EraseVersionFailed:
    case Event::EraseApplicationFailed:
    case Event::MassEraseFailed:
        return Step::EraseInternal;
    case Event::ResetFailed:
        return Step::Reset;
    case Event::ReconnectFailed:
        return Step::WaitForLoader;
    case Event::ProgramFailed:
        return Step::ProgramInternal;
    case Event::VerifyFailed:
        return Step::VerifyInternal;
    case Event::ProgramVersionFailed:
    case Event::VersionVerifyFailed:
        return Step::WriteVersion;
    case Event::NotReturned:
        return Step::ReturnCheck;
    default:
        return std::nullopt;
    }
}

} // namespace

const char* stepName(Step step) { return kStepNames[static_cast<int>(step)]; }

std::optional<Step> stepNamed(std::string_view name) {
    for (int i = 0; i < kStepCount; ++i)
        if (name == kStepNames[i]) return static_cast<Step>(i);
    return std::nullopt;
}

const char* statusName(Status status) {
    switch (status) {
    case Status::Updated:
        return "updated";
    case Status::Current:
        return "current";
    case Status::Read:
        return "read";
    case Status::Interrupted:
        return "interrupted";
    case Status::Failed:
        break;
    }
    return "failed";
}

std::string digestText(std::uint16_t digest) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X%02X", digest & 0xFF, digest >> 8);
    return text;
}

const char* digestName(DigestOutcome outcome) {
    switch (outcome) {
    case DigestOutcome::Matched:
        return "matched";
    case DigestOutcome::Mismatched:
        return "mismatched";
    case DigestOutcome::NoAnswer:
        return "no_answer";
    case DigestOutcome::NotChecked:
        break;
    }
    return "not_checked";
}

void tell(Run& run, FrontEnd& face, const Note& note) {
    Facts& facts = run.facts;
    if (const auto step = begins(note.event)) facts.step = step;
    if (note.event == Event::ErasingInternal) facts.erased = true;
    if (note.event == Event::NotReturned) facts.lost = true;
    if (const auto step = fails(note.event); step && !facts.failure)
        facts.failure = Failure{*step, note.event, note.text, note.attempt};
    face.note(note);
}

} // namespace steps
