#include "client/ClientServer.h"

#include "camera/TrackCamera.h"

#include <boost/asio/post.hpp>

// Placeholder until the client service lands: it listens and answers the
// NVR-side accessors; operators are not served yet.

ClientServer::ClientServer(boost::asio::io_context& io, const std::string& address,
                           std::uint32_t port, CameraTable& cameras, UserTable& users)
    : io(io), acceptor(io), cameras(cameras), users(users)
{
    const auto ip = boost::asio::ip::make_address(address);
    const boost::asio::ip::tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    acceptor.open(endpoint.protocol());
    acceptor.set_option(boost::asio::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(boost::asio::socket_base::max_listen_connections);
}

ClientServer::~ClientServer()
{
    io.stop();
}

boost::asio::ip::tcp::endpoint ClientServer::LocalEndpoint() const
{
    return acceptor.local_endpoint();
}

std::string ClientServer::CameraForPelco(unsigned) const { return std::string(); }
bool ClientServer::CheckLogin(const std::string&, const std::string&) const { return false; }
std::int32_t ClientServer::PriorityOf(const std::string&) const { return 0; }
void ClientServer::SelectCamera(const std::string&, bool) {}
void ClientServer::SubmitCommand(const std::string&, std::uint16_t, std::int32_t, const char*,
                                 std::size_t)
{
}
void ClientServer::AnnounceControl(const std::string&, std::uint16_t) {}
void ClientServer::AnnounceRelease(const std::string&) {}

bool ClientServer::CameraIdDiffers(const std::string& key, std::uint32_t id) const
{
    auto camera = cameras.find(key);
    return camera != cameras.end() && camera->second->GetNvrCameraId() != id;
}

void ClientServer::SetCameraId(const std::string& key, std::uint32_t id)
{
    auto camera = cameras.find(key);
    if (camera != cameras.end())
        camera->second->SetNvrCameraId(id);
}

bool ClientServer::CameraNameDiffers(const std::string& key, const std::string& name) const
{
    auto camera = cameras.find(key);
    return camera != cameras.end() && camera->second->GetNvrCameraName() != name;
}

void ClientServer::SetCameraName(const std::string& key, const std::string& name)
{
    auto camera = cameras.find(key);
    if (camera != cameras.end())
        camera->second->SetNvrCameraName(name);
}

void ClientServer::PostSelectCamera(const std::string& cameraAddress)
{
    boost::asio::post(io, [this, cameraAddress] { SelectCamera(cameraAddress, false); });
}
