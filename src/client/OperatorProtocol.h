#pragma once

// The texts of the operator protocol in both directions, for the service and
// for everything that talks to it (korvelctl, the bench, the tests). No
// message carries a line end, a terminating zero or a length prefix; see
// docs/operator-protocol.md for when each one is sent.

#include <cstdint>
#include <string>
#include <string_view>

namespace korvel {

namespace OperatorProtocol {

// From the client, recognised by their first bytes; anything else is a
// camera command whose second byte is the camera's Pelco address.
inline constexpr std::string_view Login = "LOGIN";   // then a blank, name, blank, password
inline constexpr std::string_view Choose = "CHOOSE"; // anything after it is ignored
inline constexpr std::string_view Cancel = "CANCEL"; // anything after it is ignored

// From the service.
inline constexpr std::string_view GreetingPrefix = "SESSION "; // then the session number
inline constexpr std::string_view LoginAccepted = "OK";
inline constexpr std::string_view LoginRefused = "FAILURE";
// The CAMERA message: a flag, the tag, the address, a tab, the Pelco number
// and, when the NVR has named the camera, a tab and that name.
inline constexpr char SelectedByCommand = '1';
inline constexpr char HandedOverByTrigger = '0';
inline constexpr std::string_view CameraTag = "CAMERA\t";
// Control notices: a colour "#RRGGBB", a blank and the text to show.
inline constexpr char NoticeMark = '#';
inline constexpr std::string_view YouHaveControl = "#0000F0 You have control";
inline constexpr std::string_view OtherHasControlPrefix = "#F00000 ";
inline constexpr std::string_view OtherHasControlSuffix = " has control";
inline constexpr std::string_view ControlLapsed = "#0000F0 ";
// A supervisor's reservation of the camera, as its sessions are told of it.
inline constexpr std::string_view ReservedForYou = "#0000F0 Reserved for you";
inline constexpr std::string_view ReservedForPrefix = "#F00000 Reserved for ";
inline constexpr std::string_view OutOfService = "#F00000 Out of service";

inline std::string Greeting(std::uint16_t sessionNumber)
{
    return std::string(GreetingPrefix) + std::to_string(sessionNumber);
}

// Without a password the message ends after the name.
inline std::string LoginMessage(const std::string& name, const std::string& password = "")
{
    return std::string(Login) + ' ' + name + (password.empty() ? "" : ' ' + password);
}

inline std::string CameraMessage(bool causedByCommand, const std::string& address,
                                 std::uint32_t pelcoNumber, const std::string& nvrName = "")
{
    std::string message(1, causedByCommand ? SelectedByCommand : HandedOverByTrigger);
    message += CameraTag;
    message += address;
    message += '\t';
    message += std::to_string(pelcoNumber);
    if (!nvrName.empty()) {
        message += '\t';
        message += nvrName;
    }
    return message;
}

inline std::string ReservedFor(const std::string& userName)
{
    return std::string(ReservedForPrefix) + userName;
}

inline std::string OtherHasControl(const std::string& userName)
{
    return std::string(OtherHasControlPrefix) + userName + std::string(OtherHasControlSuffix);
}

} // namespace OperatorProtocol

} // namespace korvel
