#pragma once

// A TCP peer on 127.0.0.1 standing in for a network camera: accepts every
// connection and keeps what each one receives. Runs on the given I/O loop;
// the accessors may be called from another thread.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvel {

class LoopbackListener
{
public:
    enum class Start
    {
        Listening,
        // Bound but refusing connections until Listen: a camera that is down,
        // on a port no other test can take meanwhile.
        Refusing,
    };

    // Port 0 takes a free port; another port is bound with address reuse.
    explicit LoopbackListener(boost::asio::io_context& io, std::uint16_t port = 0,
                              Start start = Start::Listening)
        : io(io), acceptor(io)
    {
        using boost::asio::ip::tcp;
        const tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"), port);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(endpoint);
        if (start == Start::Listening)
            Listen();
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    void Listen()
    {
        acceptor.listen();
        Accept();
    }

    std::uint16_t Port() const { return acceptor.local_endpoint().port(); }

    std::size_t Connections() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return connections.size();
    }

    std::string Received(std::size_t connection) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return connection < connections.size() ? connections[connection]->data : std::string();
    }

    // Without copying what arrived: cheap enough to poll while megabytes come in.
    std::size_t ReceivedBytes(std::size_t connection) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return connection < connections.size() ? connections[connection]->data.size() : 0;
    }

    std::string ReceivedByAll() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::string all;
        for (const auto& connection : connections)
            all += connection->data;
        return all;
    }

    // Ends a connection with a reset, so that the peer's next write fails.
    void Reset(std::size_t connection)
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto& socket = connections.at(connection)->socket;
        boost::system::error_code ignored;
        socket.set_option(boost::asio::socket_base::linger(true, 0), ignored);
        socket.close(ignored);
    }

private:
    struct Connection
    {
        explicit Connection(boost::asio::io_context& io) : socket(io) {}
        boost::asio::ip::tcp::socket socket;
        std::string data;
        char buffer[4096];
    };

    void Accept()
    {
        acceptor.async_accept(
            [this](const boost::system::error_code& error, boost::asio::ip::tcp::socket socket) {
                if (error)
                    return;
                auto connection = std::make_unique<Connection>(io);
                connection->socket = std::move(socket);
                Connection* added = connection.get();
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    connections.push_back(std::move(connection));
                }
                Read(added);
                Accept();
            });
    }

    void Read(Connection* connection)
    {
        connection->socket.async_read_some(
            boost::asio::buffer(connection->buffer),
            [this, connection](const boost::system::error_code& error, std::size_t length) {
                if (error)
                    return;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    connection->data.append(connection->buffer, length);
                }
                Read(connection);
            });
    }

    boost::asio::io_context& io;
    boost::asio::ip::tcp::acceptor acceptor;
    mutable std::mutex mutex;
    std::vector<std::unique_ptr<Connection>> connections;
};

} // namespace korvel
