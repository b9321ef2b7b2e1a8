#pragma once

#include "camera/HoldListener.h"

#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tinyxml2 {
class XMLElement;
}

// One configured track camera and its link. (Placeholder until the camera
// link lands.)
class TrackCamera
{
public:
    TrackCamera(boost::asio::io_context& io, const tinyxml2::XMLElement& element,
                int retryIntervalSecs, int lockTimeSecs);

    const std::string& GetAddress() const { return address; }
    void SetClientServer(HoldListener* listener) { clientServer = listener; }

private:
    std::string address;
    HoldListener* clientServer = nullptr;
};
