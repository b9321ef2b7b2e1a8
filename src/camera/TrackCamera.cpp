#include "camera/TrackCamera.h"

#include <tinyxml2.h>

TrackCamera::TrackCamera(boost::asio::io_context&, const tinyxml2::XMLElement& element, int, int)
{
    if (const char* value = element.Attribute("Address"))
        address = value;
}
