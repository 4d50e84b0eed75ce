// Linux backend of the operating-system layer.
#include "platform/platform.h"
#include "platform/text.h"

#include <climits>
#include <cstdio>
#include <unistd.h>

namespace platform {

namespace {
std::vector<std::u16string> arguments;

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}
} // namespace

bool initProcess(int argc, char** argv) {
    arguments.clear();
    for (int i = 1; i < argc; ++i)
        arguments.push_back(utf8ToUtf16(argv[i]));
    return true;
}

std::vector<std::u16string> commandLineArguments() { return arguments; }

std::string executablePath() {
    std::string buffer(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return {};
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

void writeStandardOutput(std::u16string_view text) { writeAll(1, utf16ToUtf8(text)); }

void writeStandardError(std::u16string_view text) { writeAll(2, utf16ToUtf8(text)); }

// A Linux terminal has no window of its own to hide.
void hideConsoleWindow() {}

std::string toAnsiCodePage(std::u16string_view text) {
    return utf16ToUtf8(text.substr(0, text.find(u'\0')));
}

std::u16string fromAnsiCodePage(std::string_view text) {
    return utf8ToUtf16(text.substr(0, text.find('\0')));
}

} // namespace platform
