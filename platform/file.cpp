// Binary file reading shared by every backend; only the open call differs.
#include "platform/lock.h"
#include "platform/platform.h"

#include "platform/text.h"

#ifdef _WIN32
#include <cwchar>
#include <stdio.h>
#include <windows.h>
#endif

namespace platform {

#ifdef _WIN32
namespace {

// A path of MAX_PATH units or more opens only in its "\\?\" form (unless
// the machine has enabled long paths): made from the full path, because
// that form takes no "." or ".." and no forward slashes.
std::wstring openableForm(const std::wstring& path) {
    if (path.size() < MAX_PATH || path.rfind(L"\\\\?\\", 0) == 0) return path;
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
    if (n == 0 || n >= full.size()) return path;
    full.resize(n);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

} // namespace
#endif

InputFile::InputFile(const std::string& utf8Path) {
    if (utf8Path.empty()) return;
#ifdef _WIN32
    const std::u16string wide = utf8ToUtf16(utf8Path);
    const std::wstring path(wide.begin(), wide.end());
    file_ = _wfopen(openableForm(path).c_str(), L"rb");
#else
    file_ = std::fopen(utf8Path.c_str(), "rb");
#endif
}

InputFile::~InputFile() {
    if (file_) std::fclose(file_);
}

namespace {

int seek(std::FILE* f, std::int64_t offset, int whence) {
#ifdef _WIN32
    return _fseeki64(f, offset, whence);
#else
    return fseeko(f, static_cast<off_t>(offset), whence);
#endif
}

std::int64_t tell(std::FILE* f) {
#ifdef _WIN32
    return _ftelli64(f);
#else
    return static_cast<std::int64_t>(ftello(f));
#endif
}

} // namespace

std::int64_t InputFile::size() {
    if (!file_ || seek(file_, 0, SEEK_END) != 0) return -1;
    return tell(file_);
}

bool InputFile::readAt(std::int64_t offset, void* buffer, std::size_t count) {
    if (!file_ || offset < 0) return false;
    if (seek(file_, offset, SEEK_SET) != 0) return false;
    return std::fread(buffer, 1, count, file_) == count;
}

} // namespace platform

namespace platform {

std::string lockFileName(const std::string& name) {
    std::string out = "brisklink-updater-";
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        out.push_back(plain ? c : '_');
    }
    return out;
}

} // namespace platform
