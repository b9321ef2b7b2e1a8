#include "ControlServer.h"

#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <deque>
#include <iostream>
#include <istream>

namespace nvrsim {

using boost::asio::ip::tcp;

namespace {
// Answers a control connection may leave unread before it is closed.
constexpr std::size_t MaxPendingBytes = 4 * 1024 * 1024;
} // namespace

class ControlConnection : public std::enable_shared_from_this<ControlConnection>
{
public:
    ControlConnection(tcp::socket socket, unsigned id, ControlServer& server)
        : socket(std::move(socket)), id(id), server(server), input(MaxLineLength)
    {}

    void Start() { ReadLine(); }

    void Stop()
    {
        if (stopped)
            return;
        stopped = true;
        boost::system::error_code ignored;
        socket.close(ignored);
        server.Forget(id);
    }

private:
    void ReadLine()
    {
        auto self = shared_from_this();
        boost::asio::async_read_until(
            socket, input, '\n', [this, self](const boost::system::error_code& error, std::size_t) {
                if (stopped)
                    return;
                if (error == boost::asio::error::not_found) {
                    Send({"error: line too long\n", false}, true);
                    return;
                }
                if (error) {
                    Stop();
                    return;
                }
                std::istream stream(&input);
                std::string line;
                std::getline(stream, line);
                const ControlCommands::Answer answer = server.Commands().Execute(line);
                Send(answer, false);
                if (!answer.quit)
                    ReadLine();
            });
    }

    // Queues an answer; after a quit or a fault nothing more is read, and the
    // connection (or the program) ends once the answer is out.
    void Send(const ControlCommands::Answer& answer, bool close)
    {
        if (answer.text.empty() && !close)
            return;
        pendingBytes += answer.text.size();
        if (pendingBytes > MaxPendingBytes) {
            Stop();
            return;
        }
        pending.push_back(Item{answer.text, answer.quit, close});
        if (pending.size() == 1)
            WriteNext();
    }

    void WriteNext()
    {
        auto self = shared_from_this();
        boost::asio::async_write(socket, boost::asio::buffer(pending.front().text),
                                 [this, self](const boost::system::error_code& error, std::size_t) {
                                     if (stopped)
                                         return;
                                     const Item done = pending.front();
                                     pending.pop_front();
                                     pendingBytes -= done.text.size();
                                     if (error || done.close) {
                                         Stop();
                                         return;
                                     }
                                     if (done.quit) {
                                         server.Quit();
                                         return;
                                     }
                                     if (!pending.empty())
                                         WriteNext();
                                 });
    }

    struct Item
    {
        std::string text;
        bool quit;
        bool close;
    };

    tcp::socket socket;
    unsigned id;
    ControlServer& server;
    boost::asio::streambuf input;
    std::deque<Item> pending;
    std::size_t pendingBytes = 0;
    bool stopped = false;
};

ControlServer::ControlServer(boost::asio::io_context& io, const tcp::endpoint& endpoint,
                             ControlCommands& commands, std::function<void()> quit)
    : acceptor(io, endpoint), commands(commands), quit(std::move(quit))
{
    Accept();
}

tcp::endpoint ControlServer::LocalEndpoint() const
{
    return acceptor.local_endpoint();
}

void ControlServer::Accept()
{
    acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (error == boost::asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (!error) {
            const unsigned id = nextId++;
            auto connection = std::make_shared<ControlConnection>(std::move(socket), id, *this);
            connections.emplace(id, connection);
            connection->Start();
        } else {
            std::cerr << "nvrsim: control accept: " << error.message() << std::endl;
        }
        Accept();
    });
}

void ControlServer::Stop()
{
    boost::system::error_code ignored;
    acceptor.close(ignored);
    std::map<unsigned, std::shared_ptr<ControlConnection>> all;
    all.swap(connections);
    for (auto& entry : all)
        entry.second->Stop();
}

} // namespace nvrsim
