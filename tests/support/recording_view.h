// A view of the dialog that records every change a worker makes, in order.
#pragma once

#include "dialog/view.h"
#include "platform/text.h"

#include <map>
#include <string>
#include <vector>

namespace testing_support {

class RecordingView : public dialog::View {
  public:
    // The name an event gives a control.
    static std::string name(int control) {
        switch (control) {
        case dialog::kResultLabel:
            return "result";
        case dialog::kStatusLabel:
            return "status";
        case dialog::kCurrentVersion:
            return "version";
        case dialog::kConnectButton:
            return "connect";
        case dialog::kProgramButton:
            return "program";
        default:
            return std::to_string(control);
        }
    }
    void setText(int control, const std::u16string& text) override {
        events.push_back(name(control) + " " + platform::utf16ToUtf8(text));
        texts[control] = text;
    }
    void setProgress(int position) override {
        events.push_back("progress " + std::to_string(position));
    }
    void enable(int control, bool enabled) override {
        events.push_back((enabled ? "enable " : "disable ") + name(control));
    }
    void focus(int control) override { events.push_back("focus " + name(control)); }
    void messageBox(const std::u16string& text, const std::u16string& caption) override {
        events.push_back("box " + platform::utf16ToUtf8(caption) + ": " +
                         platform::utf16ToUtf8(text));
    }
    void finish(int button, int state) override {
        enable(button, true);
        focus(button);
        states.dialog = state;
    }
    // The states a window would own, which the workers write.
    dialog::WindowState states;
    std::string text(int control) { return platform::utf16ToUtf8(texts[control]); }
    // The texts the result label showed, in order, each once per change.
    std::vector<std::string> results() const {
        std::vector<std::string> out;
        for (const auto& e : events)
            if (e.rfind("result ", 0) == 0) out.push_back(e.substr(7));
        return out;
    }

    std::vector<std::string> events;
    std::map<int, std::u16string> texts;
};

} // namespace testing_support
