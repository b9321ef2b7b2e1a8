#pragma once

#include <cstddef>
#include <string>

namespace korvel {

// One message an operator sent, as the protocol reads it: LOGIN, CHOOSE,
// CANCEL, or else a camera command addressed by its second byte.
struct OperatorMessage
{
    enum class Kind
    {
        Login,
        Choose,
        Cancel,
        CameraCommand,
    };
    Kind kind = Kind::CameraCommand;
    // LOGIN: the name runs from byte 6 to the first blank, the password from
    // after that blank to the end of the text (its first zero byte or the
    // end of what was received), blanks included.
    std::string name;
    std::string password;
    // A camera command: its second byte; a one-byte message is addressed by
    // the zero that follows it.
    unsigned pelcoAddress = 0;
};

// Reads the count bytes at message and nowhere past them. No I/O.
OperatorMessage ParseOperatorMessage(const char* message, std::size_t count);

} // namespace korvel
