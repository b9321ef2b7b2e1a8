#include "SimHarness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel {

namespace {

void SetReceiveTimeout(int fd, int seconds)
{
    timeval timeout{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

} // namespace

TestSocket::~TestSocket()
{
    if (fd >= 0)
        ::close(fd);
}

TestSocket& TestSocket::operator=(TestSocket&& other) noexcept
{
    if (this != &other) {
        if (fd >= 0)
            ::close(fd);
        fd = other.fd;
        other.fd = -1;
        pending = std::move(other.pending);
    }
    return *this;
}

TestSocket TestSocket::Connect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("connect to port " + std::to_string(port) + " failed");
    }
    SetReceiveTimeout(fd, 10);
    return TestSocket(fd);
}

void TestSocket::SendAll(const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0)
            return;
        sent += static_cast<std::size_t>(count);
    }
}

void TestSocket::SendAll(const std::vector<uint8_t>& bytes)
{
    SendAll(std::string(bytes.begin(), bytes.end()));
}

bool TestSocket::ReadExactly(std::size_t count, std::vector<uint8_t>& out)
{
    out.clear();
    uint8_t chunk[4096];
    while (out.size() < count) {
        const ssize_t got = ::recv(fd, chunk, std::min(sizeof chunk, count - out.size()), 0);
        if (got <= 0)
            return false;
        out.insert(out.end(), chunk, chunk + got);
    }
    return true;
}

std::string TestSocket::ReadAnswer()
{
    std::string answer;
    char chunk[4096];
    for (;;) {
        std::size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            answer += line + "\n";
            if (line == "ok" || line.rfind("error: ", 0) == 0)
                return answer;
        }
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return answer + "<connection ended>\n";
        pending.append(chunk, static_cast<std::size_t>(got));
    }
}

bool TestSocket::WaitClosed(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char chunk[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0)
            continue;
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return true;
    }
    return false;
}

uint32_t SeenEvent::U32At(std::size_t offset) const
{
    uint32_t value = 0;
    if (offset + 4 <= record.size())
        std::memcpy(&value, record.data() + offset, 4);
    return value;
}

Client::Client() : handle(TLAPI_Init())
{
    TLAPI_SetCallbackEx(handle, &Client::OnEvent, this);
}

Client::~Client()
{
    TLAPI_Close(handle);
    TLAPI_Cleanup(handle);
}

int Client::OnEvent(int eventType, int code, const void* record, int length, void* context)
{
    auto* self = static_cast<Client*>(context);
    SeenEvent seen;
    seen.type = eventType;
    seen.code = code;
    seen.length = length;
    if (record && length > 0) {
        const auto* bytes = static_cast<const uint8_t*>(record);
        seen.record.assign(bytes, bytes + length);
    }
    std::lock_guard<std::mutex> lock(self->mutex);
    self->events.push_back(seen);
    return 0;
}

int Client::Open(int port, const char* address)
{
    return TLAPI_Open(handle, address, port);
}

bool Client::WaitFor(int type, SeenEvent& seen, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (; consumed < events.size(); ++consumed) {
                if (events[consumed].type == type) {
                    seen = events[consumed++];
                    return true;
                }
            }
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (TLAPI_Select(handle, 100) < 0) {
            // Events that came before the failure have been delivered; look once more.
            std::lock_guard<std::mutex> lock(mutex);
            for (; consumed < events.size(); ++consumed)
                if (events[consumed].type == type) {
                    seen = events[consumed++];
                    return true;
                }
            return false;
        }
    }
}

int Client::Connect(int port, const std::string& user, const std::string& password)
{
    SeenEvent seen;
    if (Open(port) != 0 || !WaitFor(TLAPI_EVENT_OPENED, seen))
        return -1;
    if (TLAPI_Login(handle, user.c_str(), password.c_str()) != 0 ||
        !WaitFor(TLAPI_EVENT_LOGIN, seen))
        return -1;
    return seen.code;
}

std::vector<SeenEvent> Client::Events()
{
    std::lock_guard<std::mutex> lock(mutex);
    return events;
}

void Client::ClearEvents()
{
    std::lock_guard<std::mutex> lock(mutex);
    events.clear();
    consumed = 0;
}

std::string Client::LastError()
{
    char text[512];
    TLAPI_GetLastError(handle, text, sizeof text);
    return text;
}

FakePeer::FakePeer(Script script)
{
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("fake peer cannot listen");
    port = ntohs(address.sin_port);
    thread = std::thread([this, script] {
        pollfd entry{listener, POLLIN, 0};
        if (::poll(&entry, 1, 10000) <= 0)
            return;
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        SetReceiveTimeout(fd, 10);
        TestSocket client(fd);
        script(client);
    });
}

FakePeer::~FakePeer()
{
    ::shutdown(listener, SHUT_RDWR);
    thread.join();
    ::close(listener);
}

std::vector<uint8_t> U32Bytes(uint32_t value)
{
    return {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}

std::vector<uint8_t> Frame(uint8_t type, uint16_t code, uint32_t tag,
                           const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> frame = U32Bytes(static_cast<uint32_t>(7 + payload.size()));
    frame.push_back(type);
    frame.push_back(uint8_t(code >> 8));
    frame.push_back(uint8_t(code));
    const auto tagBytes = U32Bytes(tag);
    frame.insert(frame.end(), tagBytes.begin(), tagBytes.end());
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

uint32_t FakePeer::ReadRequest(TestSocket& client, uint16_t& operation)
{
    std::vector<uint8_t> header;
    if (!client.ReadExactly(11, header) || header[4] != 1)
        return 0;
    const uint32_t length = (uint32_t(header[0]) << 24) | (uint32_t(header[1]) << 16) |
                            (uint32_t(header[2]) << 8) | header[3];
    operation = static_cast<uint16_t>((header[5] << 8) | header[6]);
    const uint32_t tag = (uint32_t(header[7]) << 24) | (uint32_t(header[8]) << 16) |
                         (uint32_t(header[9]) << 8) | header[10];
    std::vector<uint8_t> payload;
    if (length < 7 || !client.ReadExactly(length - 7, payload))
        return 0;
    return tag;
}

bool FakePeer::Greet(TestSocket& client)
{
    uint16_t operation = 0;
    const uint32_t tag = ReadRequest(client, operation);
    if (tag == 0 || operation != 1)
        return false;
    std::vector<uint8_t> results = U32Bytes(0); // status ok
    const auto magic = U32Bytes(0x544C4B56);
    results.insert(results.end(), magic.begin(), magic.end());
    results.push_back(0);
    results.push_back(1); // version 1
    const auto nameLength = U32Bytes(4);
    results.insert(results.end(), nameLength.begin(), nameLength.end());
    for (char c : std::string("fake"))
        results.push_back(static_cast<uint8_t>(c));
    client.SendAll(Frame(2, 1, tag, results));
    return true;
}

} // namespace korvel
