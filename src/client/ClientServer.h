#pragma once

#include "camera/CameraTable.h"
#include "camera/HoldListener.h"
#include "client/UserAccount.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

// The operator client service: the listener, the session registry, the
// chooser slot and the arbitration of camera control.
//
// Threads: everything runs on the I/O loop thread, except the NVR-side
// accessors (CameraIdDiffers ... SetCameraName) and PostSelectCamera, which
// NVR threads call; the camera table itself is never changed after loading.
class ClientServer : public HoldListener
{
public:
    // Starts listening at once; throws boost::system::system_error when the
    // address is not numeric or the socket cannot be opened, bound or listen.
    ClientServer(boost::asio::io_context& io, const std::string& address, std::uint32_t port,
                 CameraTable& cameras, UserTable& users);
    // Stops the I/O loop and closes the listener.
    ~ClientServer();
    ClientServer(const ClientServer&) = delete;
    ClientServer& operator=(const ClientServer&) = delete;

    boost::asio::ip::tcp::endpoint LocalEndpoint() const;

    // I/O loop.
    std::string CameraForPelco(unsigned pelcoAddress) const;
    bool CheckLogin(const std::string& name, const std::string& password) const;
    std::int32_t PriorityOf(const std::string& name) const;
    void SelectCamera(const std::string& cameraAddress, bool causedByCommand);
    void SubmitCommand(const std::string& cameraAddress, std::uint16_t sessionId,
                       std::int32_t priority, const char* bytes, std::size_t count);
    void AnnounceControl(const std::string& cameraAddress, std::uint16_t holderSession) override;
    void AnnounceRelease(const std::string& cameraAddress) override;

    // Any thread (NVR workers).
    bool CameraIdDiffers(const std::string& key, std::uint32_t id) const;
    void SetCameraId(const std::string& key, std::uint32_t id);
    bool CameraNameDiffers(const std::string& key, const std::string& name) const;
    void SetCameraName(const std::string& key, const std::string& name);
    // Runs SelectCamera(cameraAddress, false) on the I/O loop.
    void PostSelectCamera(const std::string& cameraAddress);

private:
    boost::asio::io_context& io;
    boost::asio::ip::tcp::acceptor acceptor;
    CameraTable& cameras;
    UserTable& users;
};
