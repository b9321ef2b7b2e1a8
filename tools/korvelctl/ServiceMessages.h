#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

// What the client waits for: the greeting comes only first, and "OK" or
// "FAILURE" only after a LOGIN, so elsewhere those words are taken as text.
struct ExpectedAnswers
{
    bool greeting = false;
    bool loginAnswer = false;
};

// The service's messages carry no delimiter and TCP may deliver several in
// one read, so one read is split at the places where a known message begins:
// "SESSION " and "OK" or "FAILURE" (when expected), "0CAMERA\t" or
// "1CAMERA\t", and "#RRGGBB ". A split is taken only when everything after
// it reads as whole messages, and the shortest free text (a user or camera
// name) that allows this wins.
//
// Limits: a name that itself contains such a beginning followed by text that
// reads as messages ("Gate #0000F0 ") is cut there; a message that TCP
// splits across two reads is shown as two pieces; bytes that fit no message
// are shown as unrecognised.
std::vector<std::string> SplitServiceMessages(const std::string& received,
                                              const ExpectedAnswers& expected);

struct ServiceNotice
{
    enum class Kind
    {
        Session,
        LoginAccepted,
        LoginRefused,
        Camera,
        Status,
        Unknown
    };
    Kind kind = Kind::Unknown;
    // Plain words, with the peer's text escaped (EscapedText), so that the
    // service cannot move the cursor or change colours.
    std::string text;
    // Status messages carry a colour "#RRGGBB".
    bool coloured = false;
    std::uint8_t red = 0, green = 0, blue = 0;
    int sessionNumber = 0; // Session
    int pelcoNumber = -1;  // Camera: the camera now worked with
};

// Reads one whole message.
ServiceNotice ReadServiceMessage(const std::string& message);

} // namespace korvel
