// The operator messages: LOGIN, CHOOSE, CANCEL, and everything else as a
// camera command addressed by its second byte. Nothing here reads past the
// bytes received, even when they fill the whole buffer.
#include "client/CommandHandling.h"

#include "camera/TrackCamera.h"
#include "client/ClientServer.h"
#include "client/ClientSession.h"
#include "log/LogFile.h"
#include "log/LogText.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t NameStart = 6; // after "LOGIN" and one separator byte

bool StartsWith(const char* bytes, std::size_t count, const char* word)
{
    const std::size_t length = std::strlen(word);
    return count >= length && std::memcmp(bytes, word, length) == 0;
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

std::size_t WriteReply(char* buffer, const char* text)
{
    const std::size_t length = std::strlen(text);
    std::memcpy(buffer, text, length);
    return length;
}

std::size_t HandleLogin(ClientServer& server, ClientSession& session, char* buffer,
                        std::size_t count)
{
    const LoginRequest request = ParseLogin(buffer, count);
    if (!server.CheckLogin(request.name, request.password)) {
        LogFile.BeginLine() << "Failed login from " << session.GetClientAddress() << " by user "
                            << LogSafe(request.name) << std::endl;
        return WriteReply(buffer, "FAILURE");
    }
    session.LogIn(request.name, server.PriorityOf(request.name));
    LogFile.BeginLine() << "Login from " << session.GetClientAddress() << " by user "
                        << LogSafe(request.name) << " with priority " << session.GetPriority()
                        << std::endl;
    return WriteReply(buffer, "OK");
}

void HandleCameraCommand(ClientServer& server, ClientSession& session, const char* bytes,
                         std::size_t count)
{
    // A one-byte message is addressed by the zero that follows it.
    const unsigned pelcoAddress = count > 1 ? static_cast<unsigned char>(bytes[1]) : 0u;
    TrackCamera* camera = server.FindCameraByPelco(pelcoAddress);
    if (!camera) {
        LogFile.BeginLine() << "Unknown Pelco camera ID " << pelcoAddress << std::endl;
        return;
    }
    if (camera->GetAddress() != session.GetCurrentCamera()) {
        server.TakeChooserSlot(session.GetNumber());
        server.SelectCamera(camera->GetAddress(), true);
    }
    // The command goes to the session's current camera: the one addressed,
    // unless another connection with the same session number took the
    // selection.
    if (camera->GetAddress() == session.GetCurrentCamera())
        server.SubmitCommand(*camera, session.GetNumber(), session.GetPriority(), bytes, count);
    else
        server.SubmitCommand(session.GetCurrentCamera(), session.GetNumber(),
                             session.GetPriority(), bytes, count);
}

} // namespace

std::size_t HandleMessage(ClientServer& server, ClientSession& session, char* buffer,
                          std::size_t count)
{
    if (StartsWith(buffer, count, "LOGIN"))
        return HandleLogin(server, session, buffer, count);
    if (StartsWith(buffer, count, "CHOOSE")) {
        server.EnterChooseMode(session.GetNumber());
        return 0;
    }
    if (StartsWith(buffer, count, "CANCEL")) {
        server.LeaveChooseMode(session.GetNumber());
        return 0;
    }
    HandleCameraCommand(server, session, buffer, count);
    return 0;
}
