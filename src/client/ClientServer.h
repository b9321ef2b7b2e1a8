#pragma once

#include "camera/CameraTable.h"
#include "camera/HoldListener.h"
#include "client/UserAccount.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <string>

// The operator client service. (Placeholder until the client service lands:
// it only listens.)
class ClientServer : public HoldListener
{
public:
    // Starts listening at once; throws boost::system::system_error when the
    // address is not numeric or the socket cannot be bound.
    ClientServer(boost::asio::io_context& io, const std::string& address, std::uint32_t port,
                 CameraTable& cameras, UserTable& users);
    ~ClientServer();
    ClientServer(const ClientServer&) = delete;
    ClientServer& operator=(const ClientServer&) = delete;

    void AnnounceControl(const std::string& cameraAddress, std::uint16_t holderSession) override;
    void AnnounceRelease(const std::string& cameraAddress) override;

private:
    boost::asio::io_context& io;
    boost::asio::ip::tcp::acceptor acceptor;
};
