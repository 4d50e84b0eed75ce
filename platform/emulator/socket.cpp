#include "platform/emulator/socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using NativeSocket = SOCKET;
#define BAD_SOCKET INVALID_SOCKET
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using NativeSocket = int;
#define BAD_SOCKET (-1)
#endif

#include <cerrno>
#include <cstring>
#include <string>

namespace platform::net {

namespace {

NativeSocket native(Socket s) { return static_cast<NativeSocket>(s); }

void noDelay(NativeSocket s) {
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

} // namespace

bool startup() {
#ifdef _WIN32
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
#else
    return true;
#endif
}

namespace {

bool parseAddress(const std::string& host, in_addr& into) {
    return inet_pton(AF_INET, host == "localhost" ? "127.0.0.1" : host.c_str(), &into) == 1;
}

} // namespace

std::string addressOf(const std::string& host) {
    in_addr address{};
    char text[INET_ADDRSTRLEN] = {};
    if (!startup() || !parseAddress(host, address) ||
        inet_ntop(AF_INET, &address, text, sizeof text) == nullptr)
        return host;
    return text;
}

Socket connectTo(const std::string& host, std::uint16_t port) {
    if (!startup()) return kNoSocket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (!parseAddress(host, address.sin_addr)) return kNoSocket;
    NativeSocket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == BAD_SOCKET) return kNoSocket;
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closeSocket(static_cast<Socket>(s));
        return kNoSocket;
    }
    noDelay(s);
    return static_cast<Socket>(s);
}

namespace {

thread_local std::string listenError;

// The system's reason for the call that just failed.
std::string systemError() {
#ifdef _WIN32
    return "Windows Sockets error " + std::to_string(WSAGetLastError());
#else
    return std::strerror(errno);
#endif
}

} // namespace

std::string lastListenError() { return listenError; }

Socket listenOn(std::uint16_t port, std::uint16_t& bound) {
    listenError.clear();
    if (!startup()) {
        listenError = "the sockets library did not start";
        return kNoSocket;
    }
    NativeSocket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == BAD_SOCKET) {
        listenError = systemError();
        return kNoSocket;
    }
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 8) != 0) {
        listenError = systemError();
        closeSocket(static_cast<Socket>(s));
        return kNoSocket;
    }
    socklen_t length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    bound = ntohs(address.sin_port);
    return static_cast<Socket>(s);
}

Socket acceptWithin(Socket listener, int timeoutMs) {
#ifdef _WIN32
    WSAPOLLFD p{native(listener), POLLIN, 0};
    if (WSAPoll(&p, 1, timeoutMs) <= 0) return kNoSocket;
#else
    pollfd p{native(listener), POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return kNoSocket;
#endif
    NativeSocket s = accept(native(listener), nullptr, nullptr);
    if (s == BAD_SOCKET) return kNoSocket;
    noDelay(s);
    return static_cast<Socket>(s);
}

bool sendAll(Socket s, const void* data, std::size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
#ifdef _WIN32
        const int n = send(native(s), p, static_cast<int>(length), 0);
#else
        const ssize_t n = send(native(s), p, length, MSG_NOSIGNAL);
#endif
        if (n <= 0) return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool receiveAll(Socket s, void* data, std::size_t length) {
    char* p = static_cast<char*>(data);
    while (length > 0) {
#ifdef _WIN32
        const int n = recv(native(s), p, static_cast<int>(length), 0);
#else
        const ssize_t n = recv(native(s), p, length, 0);
#endif
        if (n <= 0) return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

void closeSocket(Socket s) {
    if (s == kNoSocket) return;
#ifdef _WIN32
    closesocket(native(s));
#else
    ::close(native(s));
#endif
}

void shutdownSocket(Socket s) {
    if (s == kNoSocket) return;
#ifdef _WIN32
    shutdown(native(s), SD_BOTH);
#else
    shutdown(native(s), SHUT_RDWR);
#endif
}

} // namespace platform::net
