#include "ops/StatusServer.h"

#include "ops/ApiTokens.h"
#include "ops/StatusPage.h"
#include "ops/StatusRequest.h"
#include "ops/StatusSlots.h"
#include "ops/SupervisorApi.h"
#include "log/LogFile.h"
#include "loop/TcpListen.h"
#include "platform/RandomBytes.h"

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
    SupervisorActions* supervisors = nullptr;
    ApiTokens apiTokens;
    bool open = true;
    StatusSlots slots{StatusServer::MaxConnections, StatusServer::MaxPerAddress};
    std::map<StatusSlots::Id, std::weak_ptr<StatusConnection>> connections;
};

namespace {

constexpr std::chrono::milliseconds AcceptPauseAfterFailure{100};
constexpr std::size_t TokenBytes = 32;

// A new API token: hex of TokenBytes from the system's random source; empty
// when the source fails.
std::string NewToken()
{
    unsigned char bytes[TokenBytes];
    if (!RandomBytes(bytes, sizeof bytes))
        return {};
    static constexpr char Digits[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char byte : bytes) {
        token += Digits[byte >> 4];
        token += Digits[byte & 0x0f];
    }
    return token;
}

// What one answer is made of.
struct Reply
{
    Reply(unsigned code, std::string_view contentType, std::string body, bool headOnly = false)
        : code(code), contentType(contentType), body(std::move(body)), headOnly(headOnly)
    {}
    unsigned code = 200;
    std::string_view contentType;
    std::string body;
    bool headOnly = false;
    bool keepAlive = false;
    std::string allow;
};

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

    void Start(std::string address)
    {
        clientAddress = std::move(address);
        ReadRequest();
    }

    // Also gives up its place at once: a connection waiting for a login's
    // answer is kept by that answer until it comes.
    void Close()
    {
        shared->slots.Remove(id);
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
        parser->body_limit(MaxApiBodyBytes);
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
        if (error == http::error::body_limit) {
            const ApiAnswer tooLarge = ApiError(413, "the body is larger than 4096 bytes");
            Write(Reply(413, ContentTypeOf(StatusRoute::Content::Status), tooLarge.body), 11);
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
        const auto view = [](boost::beast::string_view text) {
            return std::string_view(text.data(), text.size());
        };
        const std::string_view method = view(request.method_string());
        const std::string_view target = view(request.target());
        const std::string_view authorization = view(request[http::field::authorization]);
        const std::string_view path = target.substr(0, target.find('?'));
        if (IsApiPath(path)) {
            Api(method, path, authorization, view(request[http::field::content_type]),
                request.body(), request.keep_alive(), request.version());
            return;
        }
        // A supervisor's API token reads what the status token does, and
        // such a request keeps the token from lapsing (the console's polls).
        static const std::string NoToken;
        const bool supervisor = Supervisor(authorization).has_value();
        const StatusRoute route = RouteStatusRequest(method, target, authorization,
                                                     supervisor ? NoToken : shared->token);
        Answer(route, request.keep_alive(), request.version());
    }

    // The supervisor that the request's token names, if it is one still.
    std::optional<std::string> Supervisor(std::string_view authorization)
    {
        if (!shared->supervisors)
            return std::nullopt;
        const std::string_view token = BearerToken(authorization);
        if (token.empty())
            return std::nullopt;
        auto user = shared->apiTokens.Use(token, shared->time.Now());
        if (!user || !shared->supervisors->IsSupervisor(*user))
            return std::nullopt;
        return user;
    }

    void Api(std::string_view method, std::string_view path, std::string_view authorization,
             std::string_view contentType, const std::string& body, bool keepAlive,
             unsigned version)
    {
        const auto answer = [&](const ApiAnswer& api) {
            // The request was read whole, so the connection goes on after
            // any answer of the API's.
            Reply reply{api.code, ContentTypeOf(StatusRoute::Content::Status), api.body};
            reply.keepAlive = keepAlive;
            reply.allow = api.allow;
            Write(std::move(reply), version);
        };
        if (!shared->supervisors) {
            answer(ApiError(404, "the supervisor API is off"));
            return;
        }
        ApiRoute route = RouteApiRequest(method, path);
        if (!route.call) {
            answer(route.answer);
            return;
        }
        ApiCall& call = *route.call;
        std::string supervisor;
        if (call.kind != ApiCall::Kind::Login) {
            const std::string_view token = BearerToken(authorization);
            if (token.empty()) {
                answer(ApiError(401, "no token: log in at /api/login first"));
                return;
            }
            auto user = shared->apiTokens.Use(token, shared->time.Now());
            if (!user) {
                answer(ApiError(401, "the token is unknown or has lapsed: log in again"));
                return;
            }
            if (!shared->supervisors->IsSupervisor(*user)) {
                answer(ApiError(403, *user + " is no longer a supervisor"));
                return;
            }
            supervisor = std::move(*user);
        }
        if (const auto refused = ReadApiBody(call, contentType, body)) {
            answer(*refused);
            return;
        }
        SupervisorActions& actions = *shared->supervisors;
        switch (call.kind) {
        case ApiCall::Kind::Login:
            Login(call.user, call.password, keepAlive, version);
            return;
        case ApiCall::Kind::Release:
            answer(ApiAnswerOf(actions.Release(call.camera, supervisor), call));
            return;
        case ApiCall::Kind::Reserve:
            answer(ApiAnswerOf(actions.Reserve(call.camera, call.forUser, call.minutes, supervisor),
                               call));
            return;
        case ApiCall::Kind::Unreserve:
            answer(ApiAnswerOf(actions.Unreserve(call.camera, supervisor), call));
            return;
        case ApiCall::Kind::EndSession:
            answer(ApiAnswerOf(actions.EndSession(call.session, supervisor), call));
            return;
        }
    }

    // The answer is written when the login's check has answered, which the
    // failed-login throttle may put off; the connection is closed if that
    // takes longer than an answer may.
    void Login(const std::string& user, const std::string& password, bool keepAlive,
               unsigned version)
    {
        Within(StatusServer::WriteTimeout);
        shared->supervisors->SupervisorLogin(
            clientAddress, user, password,
            [self = shared_from_this(), user, keepAlive, version](bool passed) {
                if (!self->shared->open || !self->stream.is_open())
                    return;
                ApiAnswer api = ApiError(401, "the login was refused");
                if (passed) {
                    std::string token = NewToken();
                    if (token.empty()) {
                        LogFile.BeginLine()
                            << "The supervisor API cannot make a token: the system's random "
                               "source failed"
                            << std::endl;
                        api = ApiError(503, "no token can be made now");
                    } else {
                        self->shared->apiTokens.Issue(token, user, self->shared->time.Now());
                        api = ApiTokenAnswer(token);
                    }
                }
                Reply reply{api.code, ContentTypeOf(StatusRoute::Content::Status), api.body};
                reply.keepAlive = keepAlive && passed;
                self->Write(std::move(reply), version);
            });
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
        Reply reply{route.code, ContentTypeOf(route.content), Body(route), route.headOnly};
        reply.keepAlive = keepAlive && (route.code == 200 || route.code == 404 || route.code == 401);
        if (route.code == 405)
            reply.allow = "GET, HEAD";
        Write(std::move(reply), version);
    }

    void Write(Reply reply, unsigned version)
    {
        const unsigned code = reply.code;
        const bool keepAlive = reply.keepAlive;
        response = {};
        response.version(version == 10 ? 10 : 11);
        response.result(code);
        response.set(http::field::server, "tlKorvel");
        response.set(http::field::content_type,
                     boost::beast::string_view(reply.contentType.data(), reply.contentType.size()));
        response.set(http::field::cache_control, "no-store");
        if (!reply.allow.empty())
            response.set(http::field::allow, reply.allow);
        if (code == 401)
            response.set(http::field::www_authenticate, "Bearer");
        std::string body = std::move(reply.body);
        response.keep_alive(keepAlive);
        if (reply.headOnly) {
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
    std::string clientAddress;
    LoopTimer deadline;
    // Twice the head limit, so that an oversized head meets the parser's
    // limit (431) rather than the buffer's.
    boost::beast::flat_buffer buffer{2 * StatusServer::MaxHeadBytes};
    std::optional<http::request_parser<http::string_body>> parser;
    http::response<http::string_body> response;
    std::optional<http::response_serializer<http::string_body>> serializer;
};

StatusServer::StatusServer(boost::asio::io_context& io, TimeSource& time,
                           const std::string& address, std::uint16_t port, std::string token,
                           Content content, SupervisorActions* supervisors)
    : io(io), acceptor(io), acceptPause(io, time), shared(std::make_shared<Shared>(io, time))
{
    shared->token = std::move(token);
    shared->content = std::move(content);
    shared->supervisors = supervisors;
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
    connection->Start(remote.address().to_string());
    StartAccept();
}

} // namespace korvel
