#include "app/journal.h"

#include "image/sha256.h"
#include "platform/text.h"

namespace app {

namespace {

Json imageSha(const std::vector<std::uint8_t>& buffer, std::uint32_t size) {
    if (size == 0 || buffer.size() < size) return nullptr;
    return image::sha256Hex(buffer.data(), size);
}

} // namespace

bool Journal::open(const std::string& path, const image::ProgramData& program,
                   const steps::UpdateImages& images, std::string& why) {
    path_ = path;
    if (!file_.open(path, why)) return false;
    fixed_ = Json{{"host", platform::hostName()},
                  {"tool", BRISKLINK_TOOL_VERSION},
                  {"firmware", text(image::recordText(program.info.firmwareVersion))},
                  {"sha256",
                   {{"internal", imageSha(images.internal, program.internalImageSize())},
                    {"external", imageSha(images.external, program.externalImageSize())}}}};
    return true;
}

void Journal::record(const JournalEntry& e, const std::u16string& prefix) {
    Json line{{"time", platform::utcTimeNow()}};
    line.update(fixed_);
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
    std::string why;
    const std::lock_guard lock(mutex_);
    if (file_.append(jsonLine(line) + "\n", why)) return;
    failed_ = true;
    platform::writeStandardError(prefix + platform::utf8ToUtf16("The journal " + path_ +
                                                                " could not be written (" + why +
                                                                "): this result is not in it.\n"));
}

} // namespace app
