// brisklink-window-probe: a small Windows program with which the window
// tests work the updater's window as a person would see it. It finds the
// window by its caption and reads its controls (ids, classes, texts,
// positions, styles, enabled states, the progress bar), waits for texts,
// and finds message boxes. Clicks and keys come from the X server
// (xdotool), so the probe only says where things are.
//
//   controls TITLE SECONDS        the client size, then one line per control
//   wait TITLE ID TEXT SECONDS    until control ID shows TEXT (exit 1: never)
//   follow TITLE UNTIL SECONDS    the result line and progress bar as they
//                                 change, until the result line shows UNTIL
//   centre TITLE ID               screen position of the middle of control ID
//   messagebox CAPTION SECONDS    a message box's text and its OK button's
//                                 screen position
//   endsession TITLE              the end of a forced shutdown: WM_ENDSESSION
//                                 without a query first, as Windows sends it
//                                 (Wine's wineboot never forces past a window
//                                 that refuses)
#include <windows.h>

#include <commctrl.h>

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::wstring widen(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n - 1 : 0), L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
    return out;
}

std::string narrow(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    return out;
}

// A control's text as its own window procedure gives it; a window whose
// thread is busy (the dialog sleeping in its close) answers with the text
// the system keeps for it.
std::string textOf(HWND window) {
    wchar_t buffer[1024] = {};
    DWORD_PTR copied = 0;
    if (SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer),
                            SMTO_ABORTIFHUNG, 300, &copied) == 0)
        GetWindowTextW(window, buffer, 1024);
    return narrow(buffer);
}

template <typename F> bool until(double seconds, F done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

HWND findWindow(const char* title, double seconds) {
    HWND found = nullptr;
    const std::wstring caption = widen(title);
    until(seconds, [&] {
        found = FindWindowW(nullptr, caption.c_str());
        return found != nullptr && IsWindowVisible(found);
    });
    if (found == nullptr) std::fprintf(stderr, "no window \"%s\"\n", title);
    return found;
}

void printCentre(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    std::printf("%ld %ld\n", (r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

int controls(HWND dialog) {
    RECT client;
    GetClientRect(dialog, &client);
    std::printf("client %ld %ld\n", client.right, client.bottom);
    // Children in z-order, which for a dialog is its template's order.
    for (HWND c = GetWindow(dialog, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t cls[64] = {};
        GetClassNameW(c, cls, 64);
        RECT r;
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
        const auto style = static_cast<unsigned long>(GetWindowLongW(c, GWL_STYLE));
        std::printf("%d %s %ld %ld %ld %ld %08lX %d %s\n", static_cast<short>(GetDlgCtrlID(c)),
                    narrow(cls).c_str(), r.left, r.top, r.right - r.left, r.bottom - r.top, style,
                    IsWindowEnabled(c) ? 1 : 0, textOf(c).c_str());
    }
    return 0;
}

int follow(HWND dialog, const std::string& until, double seconds) {
    HWND result = GetDlgItem(dialog, 1007);
    HWND bar = GetDlgItem(dialog, 1011);
    std::string lastText = "\1";
    long lastPosition = -1;
    const bool reached = ::until(seconds, [&] {
        if (!IsWindow(dialog)) return false;
        const std::string text = textOf(result);
        DWORD_PTR position = 0;
        SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 300, &position);
        if (text != lastText) std::printf("text %s\n", text.c_str());
        if (static_cast<long>(position) != lastPosition)
            std::printf("progress %ld\n", static_cast<long>(position));
        std::fflush(stdout);
        lastText = text;
        lastPosition = static_cast<long>(position);
        return text == until;
    });
    return reached ? 0 : 1;
}

int messageBox(const char* caption, double seconds) {
    HWND box = findWindow(caption, seconds);
    if (box == nullptr) return 1;
    for (HWND c = GetWindow(box, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t cls[64] = {};
        GetClassNameW(c, cls, 64);
        const std::string text = textOf(c);
        if (lstrcmpiW(cls, L"Static") == 0 && !text.empty()) std::printf("text %s\n", text.c_str());
    }
    HWND ok = GetDlgItem(box, IDOK);
    if (ok == nullptr) return 1;
    std::printf("ok ");
    printCentre(ok);
    return 0;
}

int usage() {
    std::fprintf(
        stderr,
        "usage: brisklink-window-probe controls|wait|follow|centre|messagebox|endsession ...\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // Plain newlines: the tests read the lines on Linux.
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 3) return usage();
    const std::string command = argv[1];
    if (command == "messagebox" && argc == 4) return messageBox(argv[2], std::atof(argv[3]));
    if (command == "controls" && argc == 4) {
        HWND dialog = findWindow(argv[2], std::atof(argv[3]));
        return dialog ? controls(dialog) : 1;
    }
    HWND dialog = findWindow(argv[2], 10);
    if (dialog == nullptr) return 1;
    if (command == "wait" && argc == 6) {
        HWND control = GetDlgItem(dialog, std::atoi(argv[3]));
        std::string text;
        const bool shown = until(std::atof(argv[5]), [&] {
            text = textOf(control);
            return text == argv[4];
        });
        std::printf("%s\n", text.c_str());
        return shown ? 0 : 1;
    }
    if (command == "endsession" && argc == 3) {
        DWORD_PTR answer = 0;
        return SendMessageTimeoutW(dialog, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 120'000, &answer)
                   ? 0
                   : 1;
    }
    if (command == "follow" && argc == 5) return follow(dialog, argv[3], std::atof(argv[4]));
    if (command == "centre" && argc == 4) {
        HWND control = GetDlgItem(dialog, std::atoi(argv[3]));
        if (control == nullptr) return 1;
        printCentre(control);
        return 0;
    }
    return usage();
}
