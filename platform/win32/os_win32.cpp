// Windows backend of the operating-system layer.
#include "platform/interrupt.h"
#include "platform/lock.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <aclapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <windows.h>
#include <wintrust.h>

#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace platform {

namespace {

std::u16string fromWide(const wchar_t* text) {
    std::u16string out;
    for (; *text; ++text)
        out.push_back(static_cast<char16_t>(*text));
    return out;
}

void writeHandle(DWORD which, std::u16string_view text) {
    HANDLE h = GetStdHandle(which);
    if (h == nullptr || h == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
        // A real console takes the wide text as it is, whatever its code page.
        const auto* data = reinterpret_cast<const wchar_t*>(text.data());
        DWORD left = static_cast<DWORD>(text.size());
        while (left > 0) {
            DWORD written = 0;
            if (!WriteConsoleW(h, data, left, &written, nullptr) || written == 0) return;
            data += written;
            left -= written;
        }
        return;
    }
    // Pipes and files get UTF-8 with the CRLF line ends of a Windows text stream.
    std::u16string crlf;
    crlf.reserve(text.size() + 8);
    for (char16_t c : text) {
        if (c == u'\n') crlf.push_back(u'\r');
        crlf.push_back(c);
    }
    const std::string bytes = utf16ToUtf8(crlf);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(h, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                       nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

} // namespace

bool initProcess(int, char**) { return GetModuleHandleW(nullptr) != nullptr; }

std::vector<std::u16string> commandLineArguments() {
    std::vector<std::u16string> out;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!argv) return out;
    for (int i = 1; i < count; ++i)
        out.push_back(fromWide(argv[i]));
    LocalFree(argv);
    return out;
}

std::string programName() {
    const std::string path = executablePath();
    return path.substr(path.find_last_of("\\/") + 1);
}

std::string executablePath() {
    // Long paths do not fit the classic 260-unit buffer: grow until the name fits.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
    return utf16ToUtf8(std::u16string(buffer.begin(), buffer.end()));
}

void writeStandardOutput(std::u16string_view text) { writeHandle(STD_OUTPUT_HANDLE, text); }

void writeStandardError(std::u16string_view text) { writeHandle(STD_ERROR_HANDLE, text); }

bool standardErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool standardOutputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool terminalSize(int& columns, int& rows) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return false;
    columns = info.srWindow.Right - info.srWindow.Left + 1;
    rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return columns > 0 && rows > 0;
}

bool enableTerminalSequences() {
    // Windows 10 1511 and later; an older console keeps the plain lines.
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(h, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::string environment(const char* name) {
    const std::u16string wide16 = ascii(name);
    const std::wstring wide(wide16.begin(), wide16.end());
    const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    const DWORD got = GetEnvironmentVariableW(wide.c_str(), value.data(), size);
    value.resize(got < size ? got : 0);
    return utf16ToUtf8(std::u16string(value.begin(), value.end()));
}

SystemLog::~SystemLog() {
    if (handle_ != -1) DeregisterEventSource(reinterpret_cast<HANDLE>(handle_));
}

bool SystemLog::open(const std::string&, std::string& reason) {
    // The source needs no registration to write; without one, the Event
    // Viewer shows the message with a note that its description is missing.
    HANDLE h = RegisterEventSourceW(nullptr, L"Brisklink");
    if (h == nullptr) {
        reason = "the event log refused the source Brisklink (system error " +
                 std::to_string(GetLastError()) + ")";
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    return true;
}

bool SystemLog::send(bool error, const std::string& utf8Message, std::string& reason) {
    if (handle_ == -1) {
        reason = "not open";
        return false;
    }
    const std::u16string wide16 = utf8ToUtf16(utf8Message);
    const std::wstring wide(wide16.begin(), wide16.end());
    const wchar_t* strings[] = {wide.c_str()};
    if (!ReportEventW(reinterpret_cast<HANDLE>(handle_),
                      error ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0,
                      strings, nullptr)) {
        reason = "the event log refused the message (system error " +
                 std::to_string(GetLastError()) + ")";
        return false;
    }
    return true;
}

namespace {

std::atomic<bool> windowMode{false};

BOOL WINAPI onConsoleControl(DWORD event) {
    const bool ending =
        event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    // In window mode the window is the way to stop: a Ctrl-C is ignored.
    if (!ending && windowMode.load()) return TRUE;
    requestInterrupt();
    if (ending) {
        // The process ends as soon as this returns, and the system ends it
        // anyway 5 s after a console close: hold it that long while the
        // worker sends the adapter out of its session. The process exits
        // from the main thread first when that is done.
        Sleep(5000);
    }
    return TRUE;
}

} // namespace

bool hasWindow() { return true; }

namespace {

// Updates in progress (a batch updates several adapters at once).
std::atomic<int> writing{0};
std::atomic<HWND> sessionWindow{nullptr};
constexpr UINT kWritingEnded = WM_APP + 1;
constexpr UINT kWritingBegins = WM_APP + 2;
constexpr const wchar_t* kBlockReason = L"Updating the adapter's firmware";

LRESULT CALLBACK onSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_QUERYENDSESSION) {
        if (writing.load() == 0) return TRUE;
        ShutdownBlockReasonCreate(window, kBlockReason);
        return FALSE;
    }
    // A process without a visible window may veto the end of the session only
    // with a reason it set beforehand: one set in answer to
    // WM_QUERYENDSESSION comes too late, so it is set when writing begins.
    // The reason belongs to the window's thread: only it may set or remove
    // it. Several adapters write at once, and a posted "ended" may arrive
    // after a later "begins" was sent: each message only wakes the thread,
    // which sets or removes the reason as the count it finds says.
    if (message == kWritingBegins || message == kWritingEnded) {
        if (writing.load() > 0)
            ShutdownBlockReasonCreate(window, kBlockReason);
        else
            ShutdownBlockReasonDestroy(window);
        return 0;
    }
    if (message == WM_ENDSESSION) {
        if (wParam != FALSE) {
            // The session ends (also when the user chose to end it anyway):
            // Windows ends the process when this returns, or after its grace
            // time. The main thread stops the run, ends the adapter's session
            // and exits the process first.
            requestInterrupt();
            Sleep(5000);
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

void watchSessionEnd() {
    std::thread([] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = onSessionMessage;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"BrisklinkSessionEnd";
        if (!RegisterClassW(&windowClass)) return;
        // Top-level and never shown: message-only windows get no broadcasts.
        HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0,
                                      nullptr, nullptr, windowClass.hInstance, nullptr);
        if (window == nullptr) return;
        sessionWindow.store(window);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0)
            DispatchMessageW(&message);
    }).detach();
}

void markWriting(bool on) {
    const int now = on ? writing.fetch_add(1) + 1 : writing.fetch_sub(1) - 1;
    HWND window = sessionWindow.load();
    if (window == nullptr) return;
    // The reason belongs to the window's thread; it is in place before the
    // first write (the call waits for it, a second at most).
    DWORD_PTR ignored = 0;
    if (on && now == 1)
        SendMessageTimeoutW(window, kWritingBegins, 0, 0, SMTO_NORMAL, 1000, &ignored);
    if (now == 0) PostMessageW(window, kWritingEnded, 0, 0);
}

void installInterruptHandlers(InterruptMode mode) {
    windowMode.store(mode == InterruptMode::Window);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void leaveConsoleWindow() {
    // Hiding the window is no way: Windows Terminal, the default host of
    // Windows 11, ignores it or minimises every tab, and a console shared
    // with cmd is the user's own. A console of this process alone is left
    // instead (it closes); a shared one stays.
    DWORD processes[2];
    if (GetConsoleWindow() != nullptr && GetConsoleProcessList(processes, 2) == 1) FreeConsole();
}

std::string toAnsiCodePage(std::u16string_view text) {
    text = text.substr(0, text.find(u'\0'));
    if (text.empty()) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int units = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_THREAD_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, wide, units, out.data(), n, nullptr, nullptr);
    return out;
}

std::u16string fromAnsiCodePage(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    if (text.empty()) return {};
    const int bytes = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), bytes, nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), bytes, out.data(), n);
    return std::u16string(out.begin(), out.end());
}

namespace {

// The user that made the lock object, where the system tells it.
std::string objectOwner(HANDLE h) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS)
        return {};
    wchar_t user[256], domain[256];
    DWORD userSize = 256, domainSize = 256;
    SID_NAME_USE use;
    std::string text;
    if (LookupAccountSidW(nullptr, owner, user, &userSize, domain, &domainSize, &use)) {
        const std::wstring name = std::wstring(domain) + L"\\" + user;
        text = utf16ToUtf8(std::u16string(name.begin(), name.end()));
    }
    LocalFree(descriptor);
    return text;
}

std::wstring objectName(const std::string& name, const char* suffix) {
    std::wstring wide = L"Global\\";
    for (char c : lockFileName(name) + suffix)
        wide.push_back(static_cast<wchar_t>(c));
    return wide;
}

} // namespace

// A named kernel object whose existence is the lock: whoever creates it holds
// it while its handle is open, whichever thread asks, and the system closes
// the handle when the process ends. (A mutex's ownership would belong to the
// thread that took it, and the window takes it on one thread and works on
// others.) In the Global namespace only, so that every session of the
// machine meets the same one: a per-session fallback would let two users'
// updaters both hold "the" lock.
// Any user can create a Global object of the lock's name first (CreateMutex's
// documentation warns of this). An updater that holds the lock also makes an
// event beside it, so that the next one can tell an updater from another
// program that took the name.
LockResult MachineLock::tryAcquire(const std::string& name, LockReport* report) {
    if (held()) return LockResult::Held;
    LockReport ignored;
    LockReport& out = report != nullptr ? *report : ignored;
    HANDLE h = CreateMutexW(nullptr, FALSE, objectName(name, "").c_str());
    const DWORD error = GetLastError();
    if (h == nullptr && error == ERROR_ACCESS_DENIED) {
        // Another user's updater, or a program of another user that took
        // its name: the system does not say which.
        out.holder.updater = true;
        return LockResult::Busy;
    }
    if (h != nullptr && error == ERROR_ALREADY_EXISTS) {
        out.holder.user = objectOwner(h);
        HANDLE mark = OpenEventW(SYNCHRONIZE, FALSE, objectName(name, ".updater").c_str());
        out.holder.updater = mark != nullptr || GetLastError() == ERROR_ACCESS_DENIED;
        if (mark) CloseHandle(mark);
        CloseHandle(h);
        return LockResult::Busy;
    }
    if (h == nullptr) {
        out.reason = "system error " + std::to_string(error);
        return LockResult::Unavailable;
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    HANDLE mark = CreateEventW(nullptr, TRUE, FALSE, objectName(name, ".updater").c_str());
    if (mark) file_ = reinterpret_cast<std::intptr_t>(mark);
    return LockResult::Held;
}

void MachineLock::release() {
    if (!held()) return;
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = kNone;
    if (file_ != kNone) CloseHandle(reinterpret_cast<HANDLE>(file_));
    file_ = kNone;
}

// Tools that start programs (brisklink-pack sign) run them on Linux; on
// Windows the system's own signing tool is the way.
int runProgram(const std::vector<std::string>&, const std::string&, std::string& reason, bool) {
    reason = "programs are not started on Windows";
    return -1;
}

JournalFile::~JournalFile() { close(); }

void JournalFile::close() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
}

namespace {

std::wstring widePath(const std::string& utf8Path) {
    const std::u16string wide16 = utf8ToUtf16(utf8Path);
    return std::wstring(wide16.begin(), wide16.end());
}

// Whether two handles are on one file: its volume and file index.
bool sameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

} // namespace

// FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of
// the file, whoever else appends to it.
bool JournalFile::open(const std::string& utf8Path, std::string& reason) {
    close();
    path_ = utf8Path;
    HANDLE h = CreateFileW(
        widePath(utf8Path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        reason = "system error " + std::to_string(GetLastError());
        return false;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        reason = "not a regular file";
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    return true;
}

bool JournalFile::reopen(std::string& reason) { return open(path_, reason); }

bool JournalFile::rotatesBySignal() { return false; }

bool JournalFile::atPath(std::string& reason) const {
    if (handle_ == -1) {
        reason = "it is not open";
        return false;
    }
    HANDLE h =
        CreateFileW(widePath(path_).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        reason = "its path names no file (system error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    const bool same = sameFile(reinterpret_cast<HANDLE>(handle_), h);
    CloseHandle(h);
    if (!same) {
        reason = "its path names another file (moved or replaced)";
        return false;
    }
    return true;
}

bool JournalFile::append(const std::string& line, std::string& reason) {
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    LARGE_INTEGER before{};
    const bool sized = GetFileSizeEx(h, &before) != 0;
    DWORD written = 0;
    if (sized && WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
        written == line.size() && FlushFileBuffers(h))
        return true;
    reason = "system error " + std::to_string(GetLastError());
    // A line written in part is cut back (SetEndOfFile needs a handle that
    // may write anywhere: a second one, on the same file), unless another
    // writer appended after it meanwhile.
    LARGE_INTEGER now{};
    if (!sized || written == 0 || !GetFileSizeEx(h, &now) ||
        now.QuadPart != before.QuadPart + static_cast<LONGLONG>(written))
        return false;
    HANDLE cut = CreateFileW(widePath(path_).c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (cut == INVALID_HANDLE_VALUE) return false;
    if (sameFile(h, cut) && SetFilePointerEx(cut, before, nullptr, FILE_BEGIN))
        if (SetEndOfFile(cut)) FlushFileBuffers(cut);
    CloseHandle(cut);
    return false;
}

// A new file beside the target (CREATE_NEW: never one that is there),
// flushed, then moved over the target with MOVEFILE_WRITE_THROUGH, which
// returns once the move is on the disk.
bool writeFileWhole(const std::string& utf8Path, const std::string& content, std::string& reason) {
    const std::u16string wide16 = utf8ToUtf16(utf8Path);
    const std::wstring target(wide16.begin(), wide16.end());
    const std::wstring temporary = target + L".partial-" + std::to_wstring(GetCurrentProcessId()) +
                                   L"-" + std::to_wstring(GetTickCount64());
    HANDLE h = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        reason = "system error " + std::to_string(GetLastError());
        return false;
    }
    DWORD written = 0;
    bool ok = content.size() <= 0xFFFFFFFFu &&
              WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
              written == content.size() && FlushFileBuffers(h);
    if (!ok) reason = "system error " + std::to_string(GetLastError());
    CloseHandle(h);
    if (ok && !MoveFileExW(temporary.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        reason = "system error " + std::to_string(GetLastError());
    }
    if (!ok) DeleteFileW(temporary.c_str());
    return ok;
}

std::string hostName() {
    wchar_t name[256] = {};
    DWORD size = 255;
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return {};
    const std::wstring w(name);
    return utf16ToUtf8(std::u16string(w.begin(), w.end()));
}

std::string utcTimeNow() {
    SYSTEMTIME t{};
    GetSystemTime(&t);
    char text[96];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

std::string makePrivateDirectory(std::string& reason) {
    reason = "not needed on Windows";
    return {};
}

// WinVerifyTrust checks the signature over the file before it builds the
// signer's chain: a chain or trust error therefore means the signature
// itself verified (docs/windows.md lists this among what only Windows can
// confirm).
namespace {

// When the certificate of the file's signer ends (seconds since 1970), 0
// when the file does not tell: its signer info names the certificate by
// issuer and serial number among those the signature carries.
std::int64_t signerCertificateEnd(const std::wstring& path) {
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                          0, nullptr, nullptr, nullptr, &store, &message, nullptr))
        return 0;
    std::int64_t end = 0;
    DWORD size = 0;
    if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && size > 0) {
        std::vector<std::uint8_t> buffer(size);
        auto* signer = reinterpret_cast<CMSG_SIGNER_INFO*>(buffer.data());
        if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, signer, &size)) {
            CERT_INFO wanted{};
            wanted.Issuer = signer->Issuer;
            wanted.SerialNumber = signer->SerialNumber;
            PCCERT_CONTEXT certificate =
                CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                           CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
            if (certificate != nullptr) {
                const FILETIME t = certificate->pCertInfo->NotAfter;
                const std::int64_t ticks = static_cast<std::int64_t>(
                    std::uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime);
                end = ticks / 10000000 - 11644473600LL; // from 1601 in 100 ns to 1970 in s
                CertFreeCertificateContext(certificate);
            }
        }
    }
    CryptMsgClose(message);
    CertCloseStore(store, 0);
    return end;
}

} // namespace

TrustVerdict systemSignatureCheck(const std::string& path) {
    const std::u16string wide16 = utf8ToUtf16(path);
    const std::wstring wide(wide16.begin(), wide16.end());
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = wide.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(nullptr, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &data);
    // Whom the signer is trusted by is not the question (a test signer is
    // trusted by nobody); whether the signature verifies, and whether the
    // system says more against it, is.
    switch (static_cast<HRESULT>(result)) {
    case ERROR_SUCCESS:
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_UNTRUSTEDTESTROOT:
    case CERT_E_CHAINING:
    case CERT_E_WRONG_USAGE:
        return {Trust::Verified};
    case CERT_E_EXPIRED:
        // A timestamp would have had it judged at the signing time.
        return {Trust::Expired, signerCertificateEnd(wide)};
    case TRUST_E_EXPLICIT_DISTRUST:
        return {Trust::Distrusted};
    case TRUST_E_BAD_DIGEST:
    case NTE_BAD_SIGNATURE:
    case TRUST_E_CERT_SIGNATURE:
    case CRYPT_E_HASH_VALUE:
        return {Trust::Failed};
    default:
        return {};
    }
}

} // namespace platform
