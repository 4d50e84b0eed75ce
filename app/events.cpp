#include "app/events.h"

#include "image/program.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <mutex>

namespace app {

std::string jsonLine(const Json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void writeWholeLine(const std::string& utf8Line) {
    static std::mutex mutex;
    const std::lock_guard lock(mutex);
    platform::writeStandardOutput(platform::utf8ToUtf16(utf8Line));
}

void writeJson(const Json& value) { writeWholeLine(jsonLine(value) + "\n"); }

Json text(const std::u16string& utf16) { return platform::utf16ToUtf8(utf16); }

Json textOrNull(const std::optional<std::u16string>& utf16) {
    return utf16 ? text(*utf16) : Json(nullptr);
}

namespace {
RunLabels& labels() {
    static RunLabels labels;
    return labels;
}

void addLabels(Json& into) {
    const RunLabels& l = labels();
    into["station"] = l.station;
    into["run"] = l.run;
    into["tags"] = l.tags;
}
} // namespace

void setRunLabels(RunLabels l) { labels() = std::move(l); }
const RunLabels& runLabels() { return labels(); }

Json event(const char* kind, const std::string& location) {
    return Json{{"event", kind}, {"location", location}};
}

Json startEvent(const image::ProgramData* program) {
    Json e = event("start", "");
    e["schema"] = kJsonSchema;
    e["tool"] = BRISKLINK_TOOL_VERSION;
    e["firmware"] =
        program != nullptr ? text(image::recordText(program->info.firmwareVersion)) : Json(nullptr);
    addLabels(e);
    return e;
}

Json errorEvent(const std::string& message, const std::string& location) {
    std::string trimmed = message;
    while (!trimmed.empty() && trimmed.front() == '\n')
        trimmed.erase(0, 1);
    while (!trimmed.empty() && trimmed.back() == '\n')
        trimmed.pop_back();
    Json e = event("error", location);
    e["message"] = trimmed;
    return e;
}

void addResult(Json& into, const ResultFacts& facts, const std::u16string* message) {
    into["ok"] = steps::succeeded(facts.status);
    into["status"] = steps::statusName(facts.status);
    if (message != nullptr) into["message"] = text(*message);
    if (!steps::succeeded(facts.status))
        into["step"] = steps::stepName(facts.step.value_or(steps::Step::Connect));
    if (facts.status == steps::Status::Failed) into["failure"] = text(facts.failure);
    into["version"] = textOrNull(facts.version);
    // Null when the release asks for no check or the update did not reach it.
    const steps::DigestFacts& d = facts.digest;
    if (d.outcome == steps::DigestOutcome::NotChecked)
        into["digest"] = nullptr;
    else
        into["digest"] =
            Json{{"expected", steps::digestText(d.expected)},
                 {"adapter", d.adapter ? Json(steps::digestText(*d.adapter)) : Json(nullptr)},
                 {"match", d.outcome == steps::DigestOutcome::Matched}};
    if (facts.replug != nullptr) into["replug"] = facts.replug;
    addLabels(into);
}

} // namespace app
