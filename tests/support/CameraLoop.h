#pragma once

// Track cameras run in the test process on a loop of the test's own.
#include "camera/CommandListener.h"
#include "camera/TrackCamera.h"
#include "clock/SteadyTime.h"
#include "config/Elements.h"

#include <boost/asio/io_context.hpp>
#include <tinyxml2.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace korvel {

// A camera made from one Camera element, for example
// R"(<Camera Address="127.0.0.1" Port="4001" />)", its retry wait on `time`.
inline std::unique_ptr<TrackCamera> MakeCamera(boost::asio::io_context& io, const std::string& xml,
                                               int retryIntervalSecs = 1, int lockTimeSecs = 5,
                                               TimeSource& time = RealTime())
{
    tinyxml2::XMLDocument document;
    if (document.Parse(xml.c_str()) != tinyxml2::XML_SUCCESS || !document.RootElement())
        throw std::invalid_argument("bad camera element: " + xml);
    std::vector<std::string> lines;
    return std::make_unique<TrackCamera>(io, time,
                                         ReadCameraElement(*document.RootElement(), lines),
                                         retryIntervalSecs, lockTimeSecs);
}

// Runs the loop until the condition holds; false on timeout.
inline bool RunUntil(boost::asio::io_context& io, const std::function<bool()>& condition,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        io.restart();
        if (io.run_one_for(std::chrono::milliseconds(20)) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Runs the loop until it has run out of work, on a loop that nothing else
// keeps busy (no listener, no wait on real time): then whatever was queued,
// and whatever that set off, has run. False when work was still left at the
// timeout.
inline bool RunUntilIdle(boost::asio::io_context& io,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    io.restart();
    io.run_for(timeout);
    return io.stopped();
}

// Sends commands as the control service does and records each command that
// reached a camera it watches as "delivered <session> at <address>", as the
// camera reports it from the loop.
class DeliveryRecorder : public CommandListener
{
public:
    void Watch(TrackCamera& camera)
    {
        camera.SetCommandListener(this, addresses.size());
        addresses.push_back(camera.GetAddress());
    }

    void Send(TrackCamera& camera, CommandSender sessionId, std::int32_t priority,
              const std::string& bytes)
    {
        camera.SendCommand(sessionId, priority, bytes.data(), bytes.size());
    }

    void CommandWritten(std::size_t camera, CommandSender sessionId, std::int32_t) override
    {
        events.push_back("delivered " + std::to_string(sessionId) + " at " + addresses.at(camera));
    }

    std::vector<std::string> events;

private:
    std::vector<std::string> addresses; // of the cameras watched, by their index
};

} // namespace korvel
