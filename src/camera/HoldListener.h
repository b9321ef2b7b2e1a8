#pragma once

#include <cstdint>
#include <string>

// What a track camera tells the operator side about its control hold. The
// client service implements it; the camera knows nothing else of operators.
class HoldListener
{
public:
    // After every command delivered to the camera.
    virtual void AnnounceControl(const std::string& cameraAddress, std::uint16_t holderSession) = 0;
    // When a hold lapses.
    virtual void AnnounceRelease(const std::string& cameraAddress) = 0;

protected:
    ~HoldListener() = default;
};
