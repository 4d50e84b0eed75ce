// The window's face of the connection and update: its texts on the result
// line, the progress bar, its pauses and limits, a close as the search's
// stop, and each program or verify pass on a transfer worker that the update
// worker polls.
#include "dialog/view.h"
#include "dialog/words.h"

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/thread.h"

#include <algorithm>

namespace dialog {

namespace {

using steps::Event;
using steps::Step;

// Search: 240 attempts half a second apart. Back-to-back loops: a second's
// pause after each missed attempt. Passes end at the image's last byte.
constexpr steps::Pacing kPacing{.searchAttempts = 240,
                                .searchPauseMs = 500,
                                .loaderMissingPauseMs = 2000,
                                .failedReadPauseMs = 1000,
                                .afterResetPauseMs = 2000,
                                .attemptPeriodMs = 0,
                                .missedAttemptPauseMs = 1000,
                                .beforeProgramPauseMs = 1000,
                                .notReturnedPauseMs = 1000,
                                .transfersToWordEnd = false};

constexpr int kExternalPolls = 90'000;
constexpr int kInternalPolls = 4'000;
constexpr int kPollMs = 10;

// "Connecting AP." to "Connecting AP....", one more dot an attempt, cycling.
std::u16string attemptText(const char16_t* phase, int attempt) {
    return phase + std::u16string(static_cast<std::size_t>((attempt - 1) % 4 + 1), u'.');
}

// The bar goes round four times a phase while nothing answers.
int searchProgress(int attempt) { return 4 * (100 * attempt / kPacing.searchAttempts) % 100; }

class WindowFace : public steps::FrontEnd {
  public:
    WindowFace(View& view, const steps::Run& run, WindowState& states)
        : view_(view), run_(run), states_(states) {}

    const steps::Pacing& pacing() const override { return kPacing; }

    // A close of the window stops the search, a forced end of the session
    // whatever runs: both through the session's stop.
    bool stopRequested() override { return run_.session.stop().requested(); }

    // From here on a close waits for the connection to end.
    bool enterSession() override {
        int searching = kSearching;
        return states_.connection.compare_exchange_strong(searching, kAuthenticating);
    }

    void note(const steps::Note& note) override {
        switch (note.event) {
        case Event::SearchApplication:
            phase_ = words::kConnectingAp;
            return;
        case Event::SearchLoader:
            phase_ = words::kConnectingIap;
            return view_.setProgress(0);
        case Event::Attempt:
            return view_.setText(kResultLabel, attemptText(phase_, note.attempt));
        case Event::Missed:
            return view_.setProgress(searchProgress(note.attempt));
        case Event::SearchEnded:
            return view_.setProgress(0);
        case Event::ApplicationMissing:
            view_.setProgress(0);
            return view_.setText(kResultLabel, words::kConnectApFail);
        case Event::AdapterVersion:
            return view_.setText(kCurrentVersion, platform::shown(note.text));
        case Event::Connected:
            view_.setText(kResultLabel, words::kConnected);
            return view_.setText(kStatusLabel, platform::shown(run_.state.deviceDescription));
        case Event::AccessDenied:
            return platform::writeStandardError(
                note.text + u" is the adapter, but this user may not open it (docs/linux.md "
                            u"has the udev rule that gives access).\n");
        case Event::LockHolder:
            return platform::writeStandardError(u"The adapter's lock is held by " + note.text +
                                                u".\n");
        case Event::LockNotice:
            return platform::writeStandardError(note.text + u"\n");
        case Event::AdapterBusy:
            return view_.messageBox(note.text, image::recordText(run_.program.info.windowTitle));
        case Event::TooLarge:
            view_.messageBox(words::kTooLarge, words::kTooLargeCaption);
            view_.setText(kStatusLabel, words::kNotConnected);
            return view_.setText(kResultLabel, words::kNotAvailable);
        case Event::EraseExternalFailed:
        case Event::EraseVersionFailed:
        case Event::EraseApplicationFailed:
            return view_.setText(kResultLabel, note.text);
        default:
            for (const auto& [event, text] : words::kResults)
                if (event == note.event) view_.setText(kResultLabel, text);
        }
    }

    int run(Step step, std::uint64_t bytes, const std::function<int()>& body) override {
        switch (step) {
        case Step::ProgramExternal:
        case Step::VerifyExternal:
            return transfer(bytes, body, kExternalPolls);
        case Step::ProgramInternal:
        case Step::VerifyInternal:
            return transfer(bytes, body, kInternalPolls);
        case Step::ReturnCheck:
            return body();
        default: {
            view_.setProgress(0);
            const int result = body();
            view_.setProgress(100);
            return result;
        }
        }
    }

  private:
    // A pass of `bytes` on a transfer worker. The poll limit grows with the
    // image so that a pass at full-speed pace (1 ms a report) always fits,
    // with `minimumPolls` as the floor.
    int transfer(std::uint64_t bytes, const std::function<int()>& body, int minimumPolls) {
        const auto reports =
            static_cast<std::int64_t>((bytes + isp::kChunkBytes - 1) / isp::kChunkBytes);
        const auto limit =
            static_cast<int>(std::max<std::int64_t>(minimumPolls, reports / 5 + 1000));
        auto worker = platform::threads().start(body);
        return waitForTransfer(*worker, limit);
    }

    // Polls the transfer worker until it ends or the limit runs out. A pass
    // still running then is stopped, and has ended, before anything else
    // talks to the adapter: the link is never used by two threads.
    int waitForTransfer(platform::Worker& worker, int limit) {
        view_.setProgress(0);
        int code = -1;
        for (int poll = 0; poll < limit; ++poll) {
            platform::sleepMs(kPollMs);
            code = worker.exitCode();
            // An ended pass is reported at once, a failed one as well.
            if (code != platform::kStillActive) return code;
            view_.setProgress(run_.session.transProgress());
        }
        run_.session.stop().request();
        worker.join();
        // Only the pass was to stop: the failure's steps still talk to the
        // adapter, and a further request would cut their waits short.
        run_.session.stop().clear();
        return code;
    }

    View& view_;
    const steps::Run& run_;
    WindowState& states_;
    const char16_t* phase_ = words::kConnectingAp;
};

} // namespace

int connectionWorker(View& view, steps::Run& run, WindowState& states) {
    view.enable(kConnectButton, false);
    view.setText(kStatusLabel, words::kNotConnected);
    view.setText(kResultLabel, words::kNotAvailable);
    WindowFace face(view, run, states);
    const bool connected = steps::connect(run, face) == steps::Connection::Connected;
    // Ready for the next connection; a close that comes before the finish
    // below still finds a search to stop and waits for the finish.
    states.connection = kSearching;
    if (connected)
        view.finish(kProgramButton, kConnected);
    else
        view.finish(kConnectButton, kIdle);
    return 0;
}

int updateWorker(View& view, steps::Run& run, WindowState& states) {
    view.enable(kProgramButton, false);
    WindowFace face(view, run, states);
    steps::update(run, face);
    view.finish(kConnectButton, kIdle);
    return 0;
}

} // namespace dialog
