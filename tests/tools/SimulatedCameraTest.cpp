// The simulated camera's position under a timed sequence of commands.
#include "camsim/SimulatedCamera.h"

#include "common/PelcoFrames.h"

#include <gtest/gtest.h>

namespace korvel::simulated_camera_test {

namespace {

PelcoCommand D(std::uint8_t command2, std::uint8_t data1, std::uint8_t data2)
{
    return InterpretPelco(PelcoProtocol::D, Pelco::BuildD(1, 0, command2, data1, data2));
}

} // namespace

TEST(SimulatedCamera, MovesAsTheLastCommandSaysUntilTheNext)
{
    const PelcoCommand stop = D(0, 0, 0);
    const struct
    {
        const char* name;
        std::vector<std::pair<double, PelcoCommand>> steps; // at time, apply
        double at;                                          // then read the position
        const char* position;
    } cases[] = {
        {"still at the start", {}, 5, "pan 0.0 tilt 0.0 zoom 1.0x"},
        {"pan left wraps below zero",
         {{0, D(Pelco::PanLeft, 20, 0)}},
         1.5,
         "pan 330.0 tilt 0.0 zoom 1.0x"},
        {"pan right, then stop",
         {{0, D(Pelco::PanRight, 10, 0)}, {2, stop}},
         9,
         "pan 20.0 tilt 0.0 zoom 1.0x"},
        {"tilt stops at 90 degrees",
         {{0, D(Pelco::TiltUp, 0, 63)}},
         10,
         "pan 0.0 tilt 90.0 zoom 1.0x"},
        {"tilt down and zoom in together",
         {{0, D(Pelco::TiltDown | Pelco::ZoomTele, 0, 4)}},
         2,
         "pan 0.0 tilt -8.0 zoom 5.0x"},
        {"zoom out stops at 1x", {{0, D(Pelco::ZoomWide, 0, 0)}}, 3, "pan 0.0 tilt 0.0 zoom 1.0x"},
        {"turbo pan",
         {{0, D(Pelco::PanRight, Pelco::TurboSpeed, 0)}},
         0.5,
         "pan 50.0 tilt 0.0 zoom 1.0x"},
        {"a motion command without zoom stops the zoom",
         {{0, D(Pelco::ZoomTele, 0, 0)}, {1, D(Pelco::PanRight, 1, 0)}},
         2,
         "pan 1.0 tilt 0.0 zoom 3.0x"},
        {"go to a stored preset",
         {{0, D(Pelco::PanRight, 10, 0)},
          {3, D(Pelco::SetPreset, 0, 7)},
          {4, D(Pelco::GoToPreset, 0, 7)}},
         9,
         "pan 30.0 tilt 0.0 zoom 1.0x"},
        {"go to a cleared preset changes nothing",
         {{0, D(Pelco::SetPreset, 0, 2)},
          {0, D(Pelco::ClearPreset, 0, 2)},
          {0, D(Pelco::TiltUp, 0, 5)},
          {1, D(Pelco::GoToPreset, 0, 2)}},
         2,
         "pan 0.0 tilt 10.0 zoom 1.0x"},
    };
    for (const auto& c : cases) {
        SimulatedCamera camera;
        for (const auto& step : c.steps) {
            camera.AdvanceTo(step.first);
            camera.Apply(step.second);
        }
        camera.AdvanceTo(c.at);
        EXPECT_EQ(camera.PositionText(), c.position) << c.name;
    }
}

TEST(SimulatedCamera, UnknownPresetIsNoted)
{
    SimulatedCamera camera;
    camera.AdvanceTo(0);
    EXPECT_EQ(camera.Apply(D(Pelco::GoToPreset, 0, 9)), "preset 9 is not set");
    EXPECT_EQ(camera.Apply(D(Pelco::SetPreset, 0, 9)), "");
    EXPECT_EQ(camera.Apply(D(Pelco::GoToPreset, 0, 9)), "");
}

} // namespace korvel::simulated_camera_test
