#include "NvrHarness.h"

#include "support/ProcessSockets.h"
#include "tlapi/tlapi.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace korvel {

namespace {

sockaddr_in LoopbackAddress(const std::string& host, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + host);
    return address;
}

int ConnectTo(const std::string& host, std::uint16_t port)
{
    const sockaddr_in address = LoopbackAddress(host, port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port));
    }
    return fd;
}

// Waits for the descriptor to become readable; false on timeout.
bool Readable(int fd, std::chrono::milliseconds timeout)
{
    pollfd entry{fd, POLLIN, 0};
    int result;
    do {
        result = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    } while (result < 0 && errno == EINTR);
    return result > 0;
}

void SendAll(int fd, const std::string& text)
{
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("send failed");
        sent += static_cast<std::size_t>(n);
    }
}

} // namespace

void ExpectNoSanitizerReport(const std::string& what, const std::string& standardError)
{
    for (const char* marker : {"Sanitizer", "runtime error:"})
        if (standardError.find(marker) != std::string::npos) {
            ADD_FAILURE() << what << " reported:\n" << standardError;
            return;
        }
}

std::size_t Occurrences(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

NvrUser::NvrUser(const std::string& host, std::uint16_t port, const std::string& login,
                 const std::string& password)
    : handle(TLAPI_Init())
{
    if (handle == 0 || TLAPI_SetCallbackEx(handle, &NvrUser::OnEvent, this) != 0 ||
        TLAPI_Open(handle, host.c_str(), port) != 0)
        throw std::runtime_error("cannot open a session with the NVR");
    SelectUntil([&] { return opened; });
    if (TLAPI_Login(handle, login.c_str(), password.c_str()) != 0)
        throw std::runtime_error("cannot send the login");
    SelectUntil([&] { return loginCode >= 0; });
    if (loginCode != TLAPI_LOGIN_OK)
        throw std::runtime_error("login refused");
}

NvrUser::~NvrUser()
{
    TLAPI_Close(handle);
    TLAPI_Cleanup(handle);
}

int NvrUser::OnEvent(int eventType, int code, const void*, int, void* context)
{
    auto* user = static_cast<NvrUser*>(context);
    if (eventType == TLAPI_EVENT_OPENED)
        user->opened = true;
    else if (eventType == TLAPI_EVENT_LOGIN)
        user->loginCode = code;
    return 0;
}

void NvrUser::SelectUntil(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (TLAPI_Select(handle, 100) < 0 || std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the NVR session did not get there");
    }
}

void NvrUser::CreateSoftTrigger(const std::string& name, const std::string& guid)
{
    ASSERT_EQ(TLAPI_CreateSoftTriggerWithGuid(handle, name.c_str(), guid.c_str()), 0) << guid;
}

void NvrUser::StoreAssociation(std::uint32_t cameraId, const std::string& name,
                               std::uint32_t active,
                               const std::vector<std::uint32_t>& softTriggerIds)
{
    char nameBuffer[TLAPI_TEXT_BUFFER_SIZE] = {};
    char font[TLAPI_TEXT_BUFFER_SIZE] = "Courier";
    std::strncpy(nameBuffer, name.c_str(), sizeof nameBuffer - 1);
    std::vector<TLAPI_ASSOCIATION_ENTRY> entries;
    for (std::uint32_t id : softTriggerIds) {
        TLAPI_ASSOCIATION_ENTRY entry{};
        entry.size = sizeof entry;
        entry.position = static_cast<std::uint32_t>(entries.size()) + 1;
        entry.kind = 8;
        entry.softTriggerId = id;
        entry.action = 2;
        entries.push_back(entry);
    }
    TLAPI_ASSOCIATION record{};
    record.size = sizeof record;
    record.name = nameBuffer;
    record.cameraId = cameraId;
    record.displayMode = 1;
    record.displayWidth = 20;
    record.textColour = 0x123456;
    record.active = active;
    record.font = font;
    record.fontSize = 12;
    record.entries = entries.empty() ? nullptr : entries.data();
    record.entryCount = static_cast<std::uint32_t>(entries.size());
    ASSERT_EQ(TLAPI_UpdateAssociation(handle, &record), 0) << name;
}

std::string ServiceConfig(int retryIntervalSecs, std::uint16_t clientPort,
                          const std::vector<NvrConfig>& nvrs)
{
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\"?>\n<tlKorvel>\n"
        << "  <Options RetryIntervalSecs=\"" << retryIntervalSecs
        << "\" ClientAddress=\"127.0.0.1\" ClientPort=\"" << clientPort << "\" />\n"
        << "  <KorvelControl LockTime=\"5\" />\n";
    for (const auto& nvr : nvrs) {
        xml << "  <NVR Address=\"" << nvr.address << "\" Port=\"" << nvr.port << "\" Login=\""
            << nvr.login << "\" Password=\"" << nvr.password << "\">\n";
        // Network cameras on a port where nothing listens: their links fail
        // and retry quietly on the loopback host.
        for (const auto& camera : nvr.cameras)
            xml << "    <Camera Address=\"" << camera.address << "\" PelcoNumber=\""
                << camera.pelcoNumber << "\" Port=\"9\" />\n";
        xml << "  </NVR>\n";
    }
    xml << "</tlKorvel>\n";
    return xml.str();
}

Service::Service(int retryIntervalSecs, const std::vector<NvrConfig>& nvrs) : program(dir.Path())
{
    program.WriteConfig(ServiceConfig(retryIntervalSecs, 0, nvrs));
    process = std::make_unique<Process>(program.Path(), std::vector<std::string>{"-d"});
    // Until it runs the service the child may still hold descriptors of ours;
    // the banner comes after the exec.
    const bool listening = WaitUntil([&] {
        return program.Log().find("Starting tlKorvel") != std::string::npos &&
               (clientPort = ListeningPortOf(process->Pid())) != 0;
    });
    if (!listening)
        ADD_FAILURE() << "the service did not start listening; its log:\n" << program.Log();
}

Service::~Service()
{
    if (process->Running()) {
        process->Signal(SIGTERM);
        if (!process->Wait(std::chrono::seconds(20)))
            ADD_FAILURE() << "the service did not stop";
    }
    ExpectNoSanitizerReport("tlKorvel", process->Stderr());
}

bool Service::AwaitLog(const std::string& text, std::size_t count,
                       std::chrono::milliseconds timeout) const
{
    return WaitUntil([&] { return Occurrences(program.Log(), text) >= count; }, timeout);
}

Operator::Operator(std::uint16_t port)
{
    // The service may still be starting its listener.
    WaitUntil([&] {
        try {
            socket = ConnectTo("127.0.0.1", port);
            return true;
        } catch (const std::runtime_error&) {
            return false;
        }
    });
    if (socket < 0)
        throw std::runtime_error("cannot reach the client service");
    const std::string greeting = Receive();
    if (greeting.rfind("SESSION ", 0) != 0)
        throw std::runtime_error("no greeting: " + greeting);
}

Operator::~Operator()
{
    if (socket >= 0)
        ::close(socket);
}

void Operator::Send(const std::string& message)
{
    SendAll(socket, message);
}

std::string Operator::Receive(std::chrono::milliseconds timeout)
{
    if (!Readable(socket, timeout))
        return std::string();
    char buffer[1024];
    const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

} // namespace korvel
