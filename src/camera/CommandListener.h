#pragma once

#include <cstdint>
#include <string>

namespace korvel {

// What a track camera tells the operator side: a command that had to wait
// for its turn has now been written to the camera whole. The client service
// implements it; the camera knows nothing else of operators. (A command
// written at once is reported by SendCommand's result instead.)
class CommandListener
{
public:
    virtual void CommandWritten(const std::string& cameraAddress, std::uint16_t sessionId,
                                std::int32_t priority) = 0;

protected:
    ~CommandListener() = default;
};

} // namespace korvel
