// Which camera each operator works with, whose commands reach a camera, and
// what the operators working with a camera are told about its control.
#include "client/ClientServer.h"

#include "camera/TrackCamera.h"
#include "client/ClientSession.h"

#include <utility>

namespace {

// The fixed texts are made once and shared by every session they go to.
const Notification& YouHaveControl()
{
    static const Notification text =
        std::make_shared<const std::string>("#0000F0 You have control");
    return text;
}

const Notification& ControlLapsed()
{
    static const Notification text = std::make_shared<const std::string>("#0000F0 ");
    return text;
}

} // namespace

std::string ClientServer::CameraForPelco(unsigned pelcoAddress) const
{
    const TrackCamera* camera = FindCameraByPelco(pelcoAddress);
    return camera ? camera->GetAddress() : std::string();
}

TrackCamera* ClientServer::FindCameraByPelco(unsigned pelcoAddress) const
{
    return pelcoAddress < cameraByPelco.size() ? cameraByPelco[pelcoAddress] : nullptr;
}

bool ClientServer::CheckLogin(const std::string& name, const std::string& password) const
{
    const auto user = users.find(name);
    return user != users.end() &&
           (user->second.password.empty() || user->second.password == password);
}

std::int32_t ClientServer::PriorityOf(const std::string& name) const
{
    const auto user = users.find(name);
    return user == users.end() ? 0 : user->second.priority;
}

void ClientServer::EnterChooseMode(std::uint16_t sessionId)
{
    if (chooserSlot == 0)
        chooserSlot = sessionId;
}

void ClientServer::LeaveChooseMode(std::uint16_t sessionId)
{
    if (chooserSlot == sessionId)
        chooserSlot = 0;
}

void ClientServer::SelectCamera(const std::string& cameraAddress, bool causedByCommand)
{
    if (chooserSlot == 0)
        return;
    const auto camera = cameras.find(cameraAddress);
    if (camera == cameras.end())
        return;
    // A chooser whose session has ended keeps the slot until it is taken over.
    const auto chooser = FindSession(chooserSlot);
    if (!chooser)
        return;

    const std::string nvrName = camera->second->GetNvrCameraName();
    std::string message = causedByCommand ? "1" : "0";
    message += "CAMERA\t";
    message += cameraAddress;
    message += '\t';
    message += std::to_string(camera->second->GetPelcoNumber());
    if (!nvrName.empty()) {
        message += '\t';
        message += nvrName;
    }
    chooser->Send(std::make_shared<const std::string>(std::move(message)));
    Watch(chooser, cameraAddress);
    chooserSlot = 0;
}

void ClientServer::SubmitCommand(const std::string& cameraAddress, std::uint16_t sessionId,
                                 std::int32_t priority, const char* bytes, std::size_t count)
{
    const auto entry = cameras.find(cameraAddress);
    if (entry == cameras.end())
        return; // a session whose number another connection took over: nothing to steer
    SubmitCommand(*entry->second, sessionId, priority, bytes, count);
}

void ClientServer::SubmitCommand(TrackCamera& camera, std::uint16_t sessionId,
                                 std::int32_t priority, const char* bytes, std::size_t count)
{
    const std::uint16_t holder = camera.GetHolderSession();
    if (holder != 0 && holder != sessionId && priority <= camera.GetHolderPriority())
        return;
    camera.SendCommand(sessionId, priority, bytes, count);
}

void ClientServer::AnnounceControl(const std::string& cameraAddress, std::uint16_t holderSession)
{
    const auto camera = watchers.find(cameraAddress);
    if (camera == watchers.end())
        return;
    // The holder may have gone since its command was admitted; the others
    // are then told of a holder without a name, and the hold stands.
    const Notification* othersText = nullptr;
    for (const auto& entry : camera->second) {
        const auto session = entry.second.lock();
        if (!session)
            continue;
        if (entry.first == holderSession) {
            session->Send(YouHaveControl());
            continue;
        }
        if (!othersText) {
            const auto holder = FindSession(holderSession);
            othersText = &HasControlText(holder ? holder->GetUserName() : std::string());
        }
        session->Send(*othersText);
    }
}

void ClientServer::AnnounceRelease(const std::string& cameraAddress)
{
    const auto camera = watchers.find(cameraAddress);
    if (camera == watchers.end())
        return;
    for (const auto& entry : camera->second)
        if (const auto session = entry.second.lock())
            session->Send(ControlLapsed());
}

const Notification& ClientServer::HasControlText(const std::string& userName)
{
    Notification& text = hasControlTexts[userName];
    if (!text)
        text = std::make_shared<const std::string>("#F00000 " + userName + " has control");
    return text;
}
