#pragma once

// A network track camera as a blocking listener that the service connects to.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace korvel {

class CameraListener
{
public:
    // address: a loopback address of its own, e.g. "127.0.0.2", so that each
    // camera has its own Address.
    explicit CameraListener(const std::string& address);
    ~CameraListener();
    CameraListener(const CameraListener&) = delete;
    CameraListener& operator=(const CameraListener&) = delete;

    std::uint16_t Port() const { return port; }
    // Waits for the camera to connect; false on timeout.
    bool Accept(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::string Read(std::size_t count,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    int listener = -1;
    int connection = -1;
    std::uint16_t port = 0;
};

} // namespace korvel
