#include "app/journal.h"
#include "app/station.h"

#include "image/sha256.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/text.h"

namespace app {

namespace {

Json imageSha(const std::vector<std::uint8_t>& buffer, std::uint32_t size) {
    if (size == 0 || buffer.size() < size) return nullptr;
    return image::sha256Hex(buffer.data(), size);
}

} // namespace

Json recordFields(const image::ProgramData& program, const steps::UpdateImages& images) {
    return Json{{"host", platform::hostName()},
                {"tool", BRISKLINK_TOOL_VERSION},
                {"firmware", text(image::recordText(program.info.firmwareVersion))},
                {"sha256",
                 {{"internal", imageSha(images.internal, program.internalImageSize())},
                  {"external", imageSha(images.external, program.externalImageSize())}}}};
}

Json recordLine(const JournalEntry& e, const Json& fields) {
    Json line{{"time", platform::utcTimeNow()}};
    line.update(fields);
    line["schema"] = kJsonSchema;
    line["location"] = e.location;
    line["serial"] = e.serial.empty() ? Json(nullptr) : Json(e.serial);
    line["loader"] = textOrNull(e.loader);
    line["before"] = textOrNull(e.before);
    line["after"] = textOrNull(e.result.version);
    line["mode"] = e.mode;
    addResult(line, e.result);
    line.erase("version"); // the journal calls it "after"
    line["ms"] = e.durationMs;
    return line;
}

bool Journal::open(const std::string& path, std::string& why) {
    path_ = path;
    return file_.open(path, why);
}

void Journal::stop(const std::string& why) {
    if (failed_.exchange(true)) return;
    sayOnStandardError(platform::utf8ToUtf16("The journal " + path_ + " cannot be written: " + why +
                                             ". No further adapter is taken.\n"));
}

bool Journal::ready(std::string& why) {
    const int hangups = platform::hangups();
    if (hangups != hangupsSeen_) {
        hangupsSeen_ = hangups;
        if (!file_.reopen(why)) return false;
    }
    if (file_.atPath(why)) return true;
    // Moved away by a rotation whose signal may follow a moment later
    // (logrotate's postrotate); where no signal comes, the path is opened
    // again at once.
    if (platform::JournalFile::rotatesBySignal()) {
        for (int wait = 0; wait < 20 && platform::hangups() == hangupsSeen_; ++wait)
            platform::sleepMs(50);
        if (platform::hangups() == hangupsSeen_) return false;
        hangupsSeen_ = platform::hangups();
    }
    return file_.reopen(why);
}

void Journal::record(const Json& line) {
    const std::lock_guard lock(mutex_);
    if (failed_) return;
    std::string why;
    if (!ready(why) || !file_.append(jsonLine(line) + "\n", why)) stop(why);
}

} // namespace app
