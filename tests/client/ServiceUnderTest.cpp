#include "ServiceUnderTest.h"

#include "camera/TrackCamera.h"
#include "config/Elements.h"
#include "log/LogFile.h"
#include "support/OperatorClient.h"
#include "support/TempDir.h"

#include <boost/asio/post.hpp>
#include <tinyxml2.h>

#include <future>
#include <iterator>
#include <stdexcept>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel {

ServiceUnderTest::ServiceUnderTest(const std::vector<UserAccount>& userAccounts,
                                   const std::string& cameraElements, int lockTimeSecs,
                                   const std::string& listenAddress, const SessionPolicy& policy,
                                   TimeSource& time)
    : time(time)
{
    // Each service starts the shared log afresh; lines still go to its end.
    if (FileExists(LogFile.CurrentPath()))
        ::truncate(LogFile.CurrentPath().c_str(), 0);

    for (const UserAccount& user : userAccounts)
        users.emplace(user.name, user);

    const std::string xml = "<Cameras>" + cameraElements + "</Cameras>";
    tinyxml2::XMLDocument document;
    if (document.Parse(xml.c_str()) != tinyxml2::XML_SUCCESS)
        throw std::runtime_error("bad camera elements: " + cameraElements);
    for (const auto* element = document.RootElement()->FirstChildElement("Camera"); element;
         element = element->NextSiblingElement("Camera")) {
        std::vector<std::string> lines;
        auto camera = std::make_unique<TrackCamera>(io, time, ReadCameraElement(*element, lines), 1,
                                                    lockTimeSecs);
        const std::string address = camera->GetAddress();
        cameras.emplace(address, std::move(camera));
    }

    control = std::make_unique<ControlService>(io, time, cameras, connections);
    server = std::make_unique<ClientServer>(io, time, connections, *control, users, policy);
    const std::string failure = server->Listen(listenAddress, 0);
    if (!failure.empty())
        throw std::runtime_error(failure);
    supervisors = std::make_unique<SupervisorDesk>(io, time, *control, *server);
    operations = std::make_unique<OperationsFeed>(*control, *server);
    supervisors->SetObserver(*operations);
    port = server->LocalEndpoint().port();
    loop = std::thread([this] { io.run(); });
}

// As the run stops: everything closed on the loop, which returns once what
// was under way has ended.
ServiceUnderTest::~ServiceUnderTest()
{
    Resume();
    boost::asio::post(io, [this] {
        server->Close();
        supervisors->Close();
        control->Close();
        for (auto& entry : cameras)
            entry.second->Stop();
        work.reset();
    });
    loop.join();
    operations.reset();
    supervisors.reset();
    server.reset();
    control.reset();
    cameras.clear();
}

void ServiceUnderTest::RebuildCamera(const std::string& address, const std::string& cameraElement)
{
    tinyxml2::XMLDocument document;
    if (document.Parse(cameraElement.c_str()) != tinyxml2::XML_SUCCESS)
        throw std::runtime_error("bad camera element: " + cameraElement);
    std::vector<std::string> lines;
    const CameraSettings settings = ReadCameraElement(*document.RootElement(), lines);
    OnLoop([&] {
        const int lockTimeSecs = cameras.at(address)->GetLockTimeSecs();
        cameras.at(address)->Stop();
        control->RemoveCamera(address, true);
        cameras.erase(address);
        auto camera = std::make_unique<TrackCamera>(io, time, settings, 1, lockTimeSecs);
        control->AddCamera(*camera);
        cameras.emplace(settings.address, std::move(camera));
        control->EndCarriedOver();
    });
}

void ServiceUnderTest::RemoveCamera(const std::string& address)
{
    OnLoop([&] {
        cameras.at(address)->Stop();
        control->RemoveCamera(address);
        cameras.erase(address);
    });
}

std::size_t ServiceUnderTest::CameraIndex(const std::string& address) const
{
    return static_cast<std::size_t>(std::distance(cameras.begin(), cameras.find(address)));
}

void ServiceUnderTest::OnLoop(const std::function<void()>& work)
{
    std::promise<void> done;
    boost::asio::post(io, [&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

void ServiceUnderTest::Pause()
{
    resume = std::make_unique<std::promise<void>>();
    std::promise<void> paused;
    boost::asio::post(io, [&paused, released = resume->get_future().share()] {
        paused.set_value();
        released.wait();
    });
    paused.get_future().wait();
}

void ServiceUnderTest::Resume()
{
    if (resume) {
        resume->set_value();
        resume.reset();
    }
}

void ServiceUnderTest::WaitHandled(const OperatorClient& client)
{
    // Once the service's kernel has acknowledged everything and holds
    // nothing unread, the read has been made; the completion that handles it
    // runs before work posted after it.
    WaitUntil([&] {
        int unacknowledged = 0;
        if (client.Fd() >= 0 &&
            (::ioctl(client.Fd(), SIOCOUTQ, &unacknowledged) != 0 || unacknowledged != 0))
            return false;
        const auto state = ServiceSideOf(client);
        return !state || state->unreadBytes == 0;
    });
    OnLoop([] {});
}

int ServiceUnderTest::DescriptorOf(const OperatorClient& client) const
{
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (fd != client.Fd() &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == client.LocalPort())
            return fd;
    }
    return -1;
}

std::string ServiceUnderTest::Log() const
{
    return ReadFile(LogFile.CurrentPath());
}

bool ServiceUnderTest::WaitForLog(const std::string& text)
{
    return WaitUntil([&] { return Log().find(text) != std::string::npos; });
}

} // namespace korvel
