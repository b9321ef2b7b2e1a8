#pragma once

// What a run lets the outside see after each step, in one shape for the
// reference model and for the simulated service, so that the two compare
// (Differences): what each workstation received and whether the service
// closed it, and for each camera its link's state, the commands each of its
// sockets carried, and who holds it; and the lines each session and each
// camera's link logged.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel::model {

struct ClientView
{
    std::vector<std::string> received; // each text the service wrote, in order
    bool closedByService = false;
    std::vector<std::string> lines; // what its session logged
};

struct HoldView
{
    std::uint16_t number = 0;
    std::int32_t priority = 0;
    std::int64_t leftMs = 0;
    bool operator==(const HoldView&) const = default;
};

struct CameraView
{
    int instance = 0; // how many times the slot's camera was added
    std::string link; // "no socket", "connecting", ...
    // By socket (the camera's count of sockets opened): the serials of the
    // commands it carried, in order.
    std::map<std::uint64_t, std::vector<std::uint32_t>> carried;
    std::optional<HoldView> hold;
    std::vector<std::string> lines; // what its link logged
};

struct Observations
{
    std::vector<ClientView> clients; // by the order they connected
    std::map<int, CameraView> cameras; // the present ones, by slot
};

// Empty when they agree; else one line per difference.
std::vector<std::string> Differences(const Observations& model, const Observations& service);

} // namespace korvel::model
