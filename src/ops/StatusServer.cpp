#include "ops/StatusServer.h"

#include "ops/StatusPage.h"
#include "ops/StatusRequest.h"
#include "ops/StatusSlots.h"
#include "loop/TcpListen.h"

#include <boost/asio/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/system/system_error.hpp>

#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace korvel {

namespace http = boost::beast::http;
using boost::asio::ip::tcp;

class StatusConnection;

struct StatusServer::Shared
{
    Shared(boost::asio::io_context& io, TimeSource& time) : io(io), time(time) {}
    boost::asio::io_context& io;
    TimeSource& time;
    std::string token;
    Content content;
    bool open = true;
    StatusSlots slots{StatusServer::MaxConnections, StatusServer::MaxPerAddress};
    std::map<StatusSlots::Id, std::weak_ptr<StatusConnection>> connections;
};

namespace {

constexpr std::chrono::milliseconds AcceptPauseAfterFailure{100};

} // namespace

// One status client: requests read one after the other on the connection,
// each answered before the next is read, each step within its deadline.
// Owned by its pending operation; its deadline only closes it.
class StatusConnection : public std::enable_shared_from_this<StatusConnection>
{
public:
    StatusConnection(tcp::socket socket, std::shared_ptr<StatusServer::Shared> shared,
                     StatusSlots::Id id)
        : stream(std::move(socket)), shared(std::move(shared)), id(id),
          deadline(this->shared->io, this->shared->time)
    {}

    ~StatusConnection()
    {
        shared->slots.Remove(id);
        shared->connections.erase(id);
    }

    void Start() { ReadRequest(); }

    void Close()
    {
        deadline.Cancel();
        boost::system::error_code ignored;
        stream.shutdown(tcp::socket::shutdown_both, ignored);
        stream.close(ignored);
    }

private:
    // The step under way (reading a head, writing an answer) must be over
    // within `limit`, or the connection is closed.
    void Within(std::chrono::seconds limit)
    {
        deadline.ExpiresAfter(limit);
        deadline.AsyncWait([weak = weak_from_this()](const boost::system::error_code& error) {
            if (const auto self = weak.lock(); self && !error)
                self->Close();
        });
    }

    void ReadRequest()
    {
        parser.emplace();
        parser->header_limit(StatusServer::MaxHeadBytes);
        parser->body_limit(0);
        Within(StatusServer::HeadTimeout);
        http::async_read(stream, buffer, *parser,
                         [self = shared_from_this()](const boost::system::error_code& error,
                                                     std::size_t) { self->OnRead(error); });
    }

    void OnRead(const boost::system::error_code& error)
    {
        deadline.Cancel();
        if (!shared->open || error == boost::asio::error::operation_aborted)
            return;
        if (error == http::error::header_limit || error == http::error::buffer_overflow) {
            Answer(StatusRoute{431}, false, 11);
            return;
        }
        if (error == http::error::end_of_stream || error == boost::asio::error::eof ||
            error == boost::asio::error::connection_reset) {
            Close();
            return;
        }
        if (error) {
            Answer(StatusRoute{400}, false, 11);
            return;
        }
        shared->slots.RequestRead(id, shared->time.Now());
        const auto& request = parser->get();
        const StatusRoute route = RouteStatusRequest(
            std::string_view(request.method_string().data(), request.method_string().size()),
            std::string_view(request.target().data(), request.target().size()),
            std::string_view(request[http::field::authorization].data(),
                             request[http::field::authorization].size()),
            shared->token);
        Answer(route, request.keep_alive(), request.version());
    }

    std::string Body(const StatusRoute& route) const
    {
        switch (route.content) {
        case StatusRoute::Content::Status:
            return shared->content.status ? shared->content.status() : std::string("{}\n");
        case StatusRoute::Content::Metrics:
            return shared->content.metrics ? shared->content.metrics() : std::string();
        case StatusRoute::Content::Page:
            return std::string(StatusPageHtml());
        case StatusRoute::Content::Error:
            break;
        }
        return ErrorText(route.code);
    }

    // Answers other than 200, 401 and 404 end the connection once written:
    // after a request the server could not read or will not serve, what
    // follows cannot be trusted to be a request.
    void Answer(const StatusRoute& route, bool keepAlive, unsigned version)
    {
        const unsigned code = route.code;
        keepAlive = keepAlive && (code == 200 || code == 404 || code == 401);
        response = {};
        response.version(version == 10 ? 10 : 11);
        response.result(code);
        response.set(http::field::server, "tlKorvel");
        const std::string_view type = ContentTypeOf(route.content);
        response.set(http::field::content_type,
                     boost::beast::string_view(type.data(), type.size()));
        response.set(http::field::cache_control, "no-store");
        if (code == 405)
            response.set(http::field::allow, "GET, HEAD");
        if (code == 401)
            response.set(http::field::www_authenticate, "Bearer");
        std::string body = Body(route);
        response.keep_alive(keepAlive);
        if (route.headOnly) {
            response.set(http::field::content_length, std::to_string(body.size()));
        } else {
            response.body() = std::move(body);
            response.prepare_payload();
        }
        serializer.emplace(response);
        Within(StatusServer::WriteTimeout);
        http::async_write(stream, *serializer,
                          [self = shared_from_this(),
                           keepAlive](const boost::system::error_code& error, std::size_t) {
                              self->OnWritten(error, keepAlive);
                          });
    }

    void OnWritten(const boost::system::error_code& error, bool keepAlive)
    {
        deadline.Cancel();
        serializer.reset();
        if (!shared->open || error == boost::asio::error::operation_aborted)
            return;
        if (error || !keepAlive) {
            Close();
            return;
        }
        shared->slots.Answered(id, shared->time.Now());
        ReadRequest();
    }

    tcp::socket stream;
    std::shared_ptr<StatusServer::Shared> shared;
    const StatusSlots::Id id;
    LoopTimer deadline;
    // Twice the head limit, so that an oversized head meets the parser's
    // limit (431) rather than the buffer's.
    boost::beast::flat_buffer buffer{2 * StatusServer::MaxHeadBytes};
    std::optional<http::request_parser<http::empty_body>> parser;
    http::response<http::string_body> response;
    std::optional<http::response_serializer<http::string_body>> serializer;
};

StatusServer::StatusServer(boost::asio::io_context& io, TimeSource& time,
                           const std::string& address, std::uint16_t port, std::string token,
                           Content content, SupervisorActions* supervisors)
    : io(io), acceptor(io), acceptPause(io, time), shared(std::make_shared<Shared>(io, time)),
      supervisors(supervisors)
{
    shared->token = std::move(token);
    shared->content = std::move(content);
    Listening listening = ListenOn(io, address, port);
    acceptor = std::move(listening.acceptor);
    startFailure = std::move(listening.failure);
    if (startFailure.empty())
        StartAccept();
}

StatusServer::~StatusServer()
{
    Close();
}

void StatusServer::Close()
{
    shared->open = false;
    boost::system::error_code ignored;
    acceptor.close(ignored);
    acceptPause.Cancel();
    std::vector<std::shared_ptr<StatusConnection>> open;
    for (const auto& entry : shared->connections)
        if (auto connection = entry.second.lock())
            open.push_back(std::move(connection));
    shared->connections.clear();
    for (const auto& connection : open)
        connection->Close();
}

void StatusServer::SetToken(std::string token)
{
    shared->token = std::move(token);
}

tcp::endpoint StatusServer::LocalEndpoint() const
{
    return acceptor.local_endpoint();
}

void StatusServer::StartAccept()
{
    acceptor.async_accept(
        io, [shared = shared, this](const boost::system::error_code& error, tcp::socket socket) {
            if (shared->open)
                OnAccepted(error, std::move(socket));
        });
}

void StatusServer::OnAccepted(const boost::system::error_code& error, tcp::socket socket)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    if (error) {
        // Out of descriptors, most likely: trying again at once would spin.
        acceptPause.ExpiresAfter(AcceptPauseAfterFailure);
        acceptPause.AsyncWait(lifetime.Guard([this](const boost::system::error_code& waitError) {
            if (shared->open && !waitError)
                StartAccept();
        }));
        return;
    }
    boost::system::error_code addressError;
    const auto remote = socket.remote_endpoint(addressError);
    if (addressError) {
        // Reset before we got to it.
        socket.close(addressError);
        StartAccept();
        return;
    }
    const StatusSlots::Admission admission =
        shared->slots.Admit(remote.address().to_string(), shared->time.Now());
    if (!admission.Admitted()) {
        // Every place it could take is answering a request.
        socket.close(addressError);
        StartAccept();
        return;
    }
    if (admission.closed) {
        const auto found = shared->connections.find(*admission.closed);
        if (found != shared->connections.end()) {
            const std::weak_ptr<StatusConnection> idle = found->second;
            shared->connections.erase(found);
            if (const auto connection = idle.lock())
                connection->Close();
        }
    }
    auto connection = std::make_shared<StatusConnection>(std::move(socket), shared, admission.id);
    shared->connections.emplace(admission.id, connection);
    connection->Start();
    StartAccept();
}

} // namespace korvel
