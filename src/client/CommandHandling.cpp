// The operator messages: LOGIN, CHOOSE, CANCEL, and everything else as a
// camera command addressed by its second byte. Nothing here reads past the
// bytes received, even when they fill the whole buffer.
#include "client/CommandHandling.h"

#include "client/ClientServer.h"
#include "client/ClientSession.h"
#include "client/OperatorProtocol.h"
#include "log/LogFile.h"
#include "log/LogText.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace korvel {

namespace {

// After "LOGIN" and one separator byte.
constexpr std::size_t NameStart = OperatorProtocol::Login.size() + 1;

bool StartsWith(const char* bytes, std::size_t count, std::string_view word)
{
    return count >= word.size() && std::memcmp(bytes, word.data(), word.size()) == 0;
}

struct LoginRequest
{
    std::string name;
    std::string password;
};

// The name runs from byte 6 to the first blank, the password from after that
// blank to the end of the text (its first zero byte or the end of what was
// received), blanks included.
LoginRequest ParseLogin(const char* bytes, std::size_t count)
{
    LoginRequest request;
    if (count <= NameStart)
        return request;
    const char* const begin = bytes + NameStart;
    const char* const end = std::find(begin, bytes + count, '\0');
    const char* const blank = std::find(begin, end, ' ');
    request.name.assign(begin, blank);
    if (blank != end)
        request.password.assign(blank + 1, end);
    return request;
}

std::size_t WriteReply(char* reply, std::string_view text)
{
    std::memcpy(reply, text.data(), text.size());
    return text.size();
}

std::size_t HandleLogin(ClientServer& server, ClientSession& session, const char* message,
                        std::size_t count, char* reply)
{
    const LoginRequest request = ParseLogin(message, count);
    if (!server.CheckLogin(request.name, request.password)) {
        if (const auto due = server.FailedLoginReplyTime(session)) {
            session.RefuseLoginAt(request.name, *due);
            return 0;
        }
        return RefuseLogin(server, session, request.name, reply);
    }
    server.LoginPassed(session);
    session.LogIn(request.name, server.PriorityOf(request.name));
    server.LoginAnswered(session, request.name, true);
    LogFile.BeginLine() << "Login from " << session.GetClientAddress() << " by user "
                        << LogSafe(request.name) << " with priority " << session.GetPriority()
                        << std::endl;
    return WriteReply(reply, OperatorProtocol::LoginAccepted);
}

// With RequireLogin, a session that has not logged in may only log in.
bool IgnoredUntilLogin(const ClientServer& server, ClientSession& session)
{
    if (!server.Policy().requireLogin || session.LoggedIn())
        return false;
    if (session.FirstIgnoredCommand()) {
        LogFile.BeginLine() << "Ignoring commands from session " << session.GetNumber() << " at "
                            << session.GetClientAddress() << " until it logs in" << std::endl;
    }
    return true;
}

void HandleCameraCommand(ClientServer& server, ClientSession& session, const char* bytes,
                         std::size_t count)
{
    // A one-byte message is addressed by the zero that follows it.
    const unsigned pelcoAddress = count > 1 ? static_cast<unsigned char>(bytes[1]) : 0u;
    if (!server.SteerCamera(session, pelcoAddress, bytes, count))
        LogFile.BeginLine() << "Unknown Pelco camera ID " << pelcoAddress << std::endl;
}

} // namespace

std::size_t RefuseLogin(ClientServer& server, ClientSession& session, const std::string& name,
                        char* reply)
{
    server.LoginAnswered(session, name, false);
    LogFile.BeginLine() << "Failed login from " << session.GetClientAddress() << " by user "
                        << LogSafe(name) << std::endl;
    return WriteReply(reply, OperatorProtocol::LoginRefused);
}

std::size_t HandleMessage(ClientServer& server, ClientSession& session, const char* message,
                          std::size_t count, char* reply)
{
    if (StartsWith(message, count, OperatorProtocol::Login))
        return HandleLogin(server, session, message, count, reply);
    if (IgnoredUntilLogin(server, session))
        return 0;
    if (StartsWith(message, count, OperatorProtocol::Choose)) {
        server.EnterChooseMode(session.GetNumber());
        return 0;
    }
    if (StartsWith(message, count, OperatorProtocol::Cancel)) {
        server.LeaveChooseMode(session.GetNumber());
        return 0;
    }
    HandleCameraCommand(server, session, message, count);
    return 0;
}

} // namespace korvel
