#include "app/journal.h"

#include "app/lines.h"
#include "image/sha256.h"
#include "platform/text.h"

namespace app {

namespace {

std::string jsonOrNull(const std::optional<std::u16string>& text) {
    return text ? jsonString(platform::utf16ToUtf8(*text)) : "null";
}

std::string imageSha(const std::vector<std::uint8_t>& buffer, std::uint32_t size) {
    if (size == 0 || buffer.size() < size) return "null";
    return jsonString(image::sha256Hex(buffer.data(), size));
}

} // namespace

bool Journal::open(const std::string& path, const image::ProgramData& program,
                   const steps::UpdateImages& images, std::string& why) {
    path_ = path;
    if (!file_.open(path, why)) return false;
    fixed_ = ",\"host\":" + jsonString(platform::hostName()) +
             ",\"tool\":" + jsonString(BRISKLINK_TOOL_VERSION) + ",\"firmware\":" +
             jsonString(platform::utf16ToUtf8(image::recordText(program.info.firmwareVersion))) +
             ",\"sha256\":{\"internal\":" + imageSha(images.internal, program.internalImageSize()) +
             ",\"external\":" + imageSha(images.external, program.externalImageSize()) + "}";
    return true;
}

void Journal::record(const JournalEntry& e, const std::u16string& prefix) {
    std::string line =
        "{\"time\":" + jsonString(platform::utcTimeNow()) + fixed_ +
        ",\"location\":" + jsonString(e.location) +
        ",\"serial\":" + (e.serial.empty() ? std::string("null") : jsonString(e.serial)) +
        ",\"loader\":" + jsonOrNull(e.loader) + ",\"before\":" + jsonOrNull(e.before) +
        ",\"after\":" + jsonOrNull(e.after) + ",\"mode\":" + jsonString(e.mode) +
        ",\"status\":" + jsonString(e.status);
    if (e.status == "failed") line += ",\"step\":" + jsonString(platform::utf16ToUtf8(e.step));
    line += ",\"ms\":" + std::to_string(e.durationMs) + "}\n";
    std::string why;
    const std::lock_guard lock(mutex_);
    if (file_.append(line, why)) return;
    failed_ = true;
    platform::writeStandardError(prefix + platform::utf8ToUtf16("The journal " + path_ +
                                                                " could not be written (" + why +
                                                                "): this result is not in it.\n"));
}

} // namespace app
