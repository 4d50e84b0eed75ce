// The console's face of the connection and update: its lines on standard
// output, its progress line on standard error, its pauses and limits, and
// Ctrl-C (or a closed console) as the stop.
#include "app/console.h"
#include "app/progress.h"
#include "steps/adapters.h"
#include "steps/udev_rule.h"

#include "image/program.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/thread.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace app {

namespace {

using steps::Event;
using steps::Step;

constexpr const steps::Pacing& kPacing = steps::kStandardPacing;

// The console's words for what the steps tell; an event without words is
// not shown.
constexpr std::pair<Event, const char*> kWords[] = {
    {Event::SearchApplication, "Connecting AP"},
    {Event::SearchLoader, "Connecting IAP"},
    {Event::Missed, "."},
    {Event::Found, "-->OK\n"},
    {Event::TooLarge, "Not Connected\n"},
    {Event::ErasingExternal, "Erasing external...\n"},
    {Event::ProgrammingExternal, "Programming external...\n"},
    {Event::ProgramExternalFailed, "Program External Failed!\n"},
    {Event::VerifyingExternal, "Verifing external...\n"},
    {Event::ExternalVerifyFailed, "External Verify Failed!\n"},
    {Event::ErasingInternal, "Eraseing internal...\n"},
    {Event::MassEraseFailed, "Mass Erase failed!"},
    {Event::Resetting, "Reset...\n"},
    {Event::ResetFailed, "Reset Failed!\n"},
    {Event::Reconnecting, "Connecting...\n"},
    {Event::ReconnectFailed, "Connect IAP Fail!\n"},
    {Event::ProgrammingInternal, "Programming internal...\n"},
    {Event::ProgramFailed, "Program Failed!\n"},
    {Event::VerifyingInternal, "Verifing...\n"},
    {Event::VerifyFailed, "AP Verify Failed!"},
    {Event::DigestCheck, "Digest Check...\n"},
    {Event::ProgramVersionFailed, "Program Version Failed!\n"},
    {Event::VersionVerifyFailed, "Version Verify Failed!\n"},
    {Event::Restarting, "Reset to AP...\n"},
    {Event::NotReturned, "[ERROR] Can't Reset to AP...\n"},
    {Event::Succeeded, "Operation Success.\n\n"},
    {Event::Failed, "Operation Failed.\n\n"},
};

// The progress line's name of each long step; the reset has none.
const char* progressName(Step step) {
    switch (step) {
    case Step::EraseExternal:
        return "Erasing external";
    case Step::ProgramExternal:
        return "Programming external";
    case Step::VerifyExternal:
        return "Verifying external";
    case Step::EraseInternal:
        return "Erasing internal";
    case Step::WaitForLoader:
        return "Waiting for the loader";
    case Step::ProgramInternal:
        return "Programming internal";
    case Step::VerifyInternal:
        return "Verifying internal";
    case Step::ReturnCheck:
        return "Waiting for the adapter";
    default:
        break;
    }
    return nullptr;
}

// The line of an information item that did not come.
const char* itemFailLine(int item) {
    switch (item) {
    case 0:
        return "ISP_GetInformation 0\t-->Fail\n";
    case 1:
        return "ISP_GetInformation 1\t-->Fail\n";
    case 4:
        return "ISP_GetInformation 4\t-->Fail\n";
    case 6:
        return "ISP_GetInformation IAP_START_ADDR\t-->Fail\n";
    default:
        return "ISP_GetInformation AP_VER\t-->Fail\n";
    }
}

class ConsoleFace : public steps::FrontEnd {
  public:
    ConsoleFace(const steps::Run& run, const ConsoleSettings& settings)
        : run_(run), settings_(settings) {}

    const steps::Pacing& pacing() const override { return kPacing; }
    bool stopRequested() override { return run_.session.stop().requested(); }
    bool quiet() const override { return settings_.silentMode; }

    void note(const steps::Note& note) override {
        switch (note.event) {
        case Event::ItemFailed:
            return printMessage(settings_, itemFailLine(note.attempt));
        case Event::LockHolder:
            return diagnose(u"The adapter's lock is held by " + note.text + u".\n");
        case Event::LockNotice:
            return diagnose(note.text + u"\n");
        case Event::EraseExternalFailed:
        case Event::EraseVersionFailed:
        case Event::EraseApplicationFailed:
            return printMessage(settings_, note.text);
        case Event::AccessDenied:
            return diagnose(accessHint(note.text));
        case Event::AdapterBusy:
            return printMessage(settings_, u"\n" + note.text + u"\n\n");
        case Event::HungLoader:
            return diagnose(
                u"The adapter's loader takes no commands: it is still held by an earlier "
                u"session that was interrupted, or it has hung. Unplug the adapter, plug it in "
                u"again and run the updater again.\n");
        case Event::ApplicationMissing:
        case Event::LoaderMissing: {
            printMessage(settings_, note.event == Event::ApplicationMissing
                                        ? "\nConnect AP Fail!\n\n"
                                        : "Connect IAP Fail!\n\n");
            return sayWhatTheSearchSaw(run_.session.bus(), run_.program, settings_);
        }
        case Event::DigestMismatch: {
            const auto* digest = run_.program.info.digest;
            char text[480];
            std::snprintf(text, sizeof text,
                          "The adapter reports a digest mismatch: its application area gives "
                          "%02X%02X, the updater's record says %02X%02X. The firmware was "
                          "verified report by report. The area is more than the image: bytes "
                          "past the image that an earlier, longer firmware left count too (an "
                          "update with /erase:all erases them), or the record's digest was made "
                          "for another image or area (brisklink-pack show --check tells).\n",
                          note.attempt & 0xFF, (note.attempt >> 8) & 0xFF, digest[0], digest[1]);
            return diagnose(std::u16string(text, text + std::strlen(text)));
        }
        case Event::WrongCommandKey:
            return diagnose(
                u"This updater's command key is not the adapter's: it was packed for another "
                u"adapter. The loader took the authentication and refuses every command signed "
                u"with this key, so it stays in the session this run opened: unplug the adapter, "
                u"plug it in again and run the updater packed for it.\n");
        case Event::Connected:
            printMessage(settings_, "Connected\n");
            printMessage(settings_, u"Loader F/W version: " +
                                        platform::shown(run_.state.loaderVersion) + u"\n");
            printMessage(settings_,
                         u"Chip F/W version: " + platform::shown(run_.state.chipVersion) + u"\n");
            return;
        default:
            for (const auto& [event, words] : kWords)
                if (event == note.event) printMessage(settings_, words);
        }
    }

    // A step runs on this thread as always; the progress line only reads
    // the pass's progress from a second one.
    int run(Step step, std::uint64_t bytes, const std::function<int()>& body) override {
        const char* name = progressName(step);
        if (name == nullptr || settings_.silentMode) return body();
        if (settings_.lines != nullptr) return bytes != 0 ? reported(step, body) : body();
        std::function<std::uint64_t()> done;
        if (bytes != 0) done = [this, bytes] { return passDone(run_.session, bytes); };
        return withProgress(name, bytes, done, body);
    }

  private:
    // The adapter's node that this user may not open, and how to give the
    // user access.
    std::u16string accessHint(const std::u16string& node) const {
        const image::ProgramData& p = run_.program;
        return node +
               platform::utf8ToUtf16(
                   " is the adapter, but this user may not open it. A udev rule gives the user "
                   "logged in at this machine's seat access; install it and plug the adapter in "
                   "again:\n" +
                   steps::udevRule(p.apVendorId, p.apProductId, p.iapVendorId, p.iapProductId) +
                   "(written by: brisklink-pack udev-rule <this updater> > "
                   "/etc/udev/rules.d/70-brisklink.rules)\n"
                   "Used over ssh or without a desktop login, give a group access instead "
                   "(brisklink-pack udev-rule --group NAME <this updater>) and add the user to "
                   "it.\n");
    }

    // A pass with its "progress" events for scripts: a second thread only
    // reads the pass's progress, as the progress line does.
    int reported(Step pass, const std::function<int()>& body) {
        int shown = -1;
        const int result = platform::whileTicking(body, 100, [&] {
            const int percent = run_.session.transProgress();
            if (percent != shown) settings_.lines->progress(pass, shown = percent);
        });
        settings_.lines->progress(pass, run_.session.transProgress());
        return result;
    }

    // Said on standard error, so that standard output keeps its transcript.
    void diagnose(const std::u16string& text) { app::diagnose(settings_, text); }

    const steps::Run& run_;
    const ConsoleSettings& settings_;
};

// A connection that says nothing: for what a script is told after the run.
class QuietFace : public steps::FrontEnd {
  public:
    explicit QuietFace(isp::Session& session) : session_(session) {}
    const steps::Pacing& pacing() const override { return pacing_; }
    void note(const steps::Note&) override {}
    bool stopRequested() override { return session_.stop().requested(); }
    bool quiet() const override { return true; }
    int run(Step, std::uint64_t, const std::function<int()>& body) override { return body(); }

  private:
    isp::Session& session_;
    // Ten seconds for an adapter that its failed update restarted.
    steps::Pacing pacing_ = [] {
        steps::Pacing p = kPacing;
        p.searchAttempts = 20;
        return p;
    }();
};

} // namespace

std::u16string failureLine(const steps::Failure& failure) {
    std::u16string line;
    switch (failure.event) {
    case Event::ItemFailed:
        line = platform::ascii(itemFailLine(failure.number));
        break;
    case Event::ApplicationMissing:
        return u"Connect AP Fail!";
    case Event::LoaderMissing:
        return u"Connect IAP Fail!";
    default:
        line = failure.detail;
        if (line.empty())
            for (const auto& [event, words] : kWords)
                if (event == failure.event) line = platform::ascii(words);
    }
    while (!line.empty() && (line.back() == u'\n' || line.front() == u'\n'))
        line.erase(line.back() == u'\n' ? line.size() - 1 : 0, 1);
    return line;
}

std::optional<std::u16string> readVersionQuietly(steps::Run& run) {
    steps::Run again{run.session, run.program};
    QuietFace face(run.session);
    if (steps::connect(again, face) != steps::Connection::Connected) return std::nullopt;
    run.session.resetToIap(1);
    run.session.close();
    if (again.state.chipVersion == u"NA") return std::nullopt;
    return again.state.chipVersion;
}

int consoleConnect(steps::Run& run, const ConsoleSettings& settings) {
    ConsoleFace face(run, settings);
    const steps::Connection connection = steps::connect(run, face);
    if (settings.lines != nullptr && !run.session.followed().empty())
        settings.lines->setLocation(run.session.followed());
    if (settings.report != nullptr)
        settings.report->connected = connection == steps::Connection::Connected;
    if (connection == steps::Connection::Stopped) {
        printMessage(settings, "Operation Failed.\n\n");
        return 1;
    }
    if (connection == steps::Connection::NotFound || connection == steps::Connection::Refused)
        return 1;

    // The copy to go back to, before anything else happens to the adapter;
    // without it nothing else does.
    AdapterReport* report = settings.report;
    if (!settings.savePath.empty() && (report == nullptr || !report->saved)) {
        const bool saved = connection == steps::Connection::Connected
                               ? saveAdapter(run, settings, settings.savePath)
                               : (printMessage(settings, "Save Failed! The connection did not "
                                                         "read the adapter's layout.\n"),
                                  false);
        if (!saved) {
            // Left as after "/c": back to its application; an interrupted
            // run restarts it into its loader, as an interrupted update does.
            if (run.session.stop().requested()) {
                run.session.resetToIap(1);
                run.session.close();
            } else {
                run.session.execute();
            }
            printMessage(settings, "Operation Failed.\n\n");
            if (report != nullptr) {
                if (report->failedStep.empty()) report->failedStep = u"Save Failed!";
                report->failedAt = steps::Step::Save;
                report->saveFailed = true;
            }
            return 1;
        }
        if (report != nullptr) report->saved = true;
    }

    const std::u16string exeVersion = image::recordText(run.program.info.firmwareVersion);
    printMessage(settings, u"EXE F/W version: " + platform::shown(exeVersion) + u"\n");
    const std::u16string& chipVersion = run.state.chipVersion;
    if (settings.versionCheck == 1 && steps::updateNotNewer(exeVersion, chipVersion)) {
        printMessage(settings, u"F/W version " + platform::shown(chipVersion) +
                                   u" is newer than the IAP EXE version " +
                                   platform::shown(exeVersion) +
                                   u" (not case sensitive).\nSkip firmware update (/f for force "
                                   u"update).\n");
        // Back to its application firmware, which it was running before.
        run.session.execute();
        // A version from a connection that failed may be one read from
        // anywhere: that adapter is not known to be current.
        if (settings.report != nullptr && connection == steps::Connection::Connected)
            settings.report->current = true;
        return 1;
    }
    return connection == steps::Connection::Connected ? 0 : 1;
}

int consoleUpdate(steps::Run& run, const ConsoleSettings& settings) {
    printMessage(settings, "\n");
    ConsoleFace face(run, settings);
    // The end of the Windows session is refused while the adapter is being
    // written.
    platform::markWriting(true);
    const int status = steps::update(run, face);
    platform::markWriting(false);
    return status == 0 ? 0 : 1;
}

} // namespace app
