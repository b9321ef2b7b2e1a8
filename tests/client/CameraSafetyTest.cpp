// What the service writes to a camera of its own accord, on fake time: the
// stop when a hold ends, home after idle, a patrol that yields and resumes.
#include "client/CameraSafety.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace korvel::camera_safety_test {

namespace {

using Trace = std::vector<std::string>;
using TimePoint = CameraSafety::TimePoint;

TimePoint At(double seconds)
{
    return TimePoint(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
}

std::string Hex(const PelcoFrame& frame)
{
    static const char* const digits = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < frame.length; ++i) {
        const auto byte = static_cast<unsigned char>(frame.bytes[i]);
        if (i)
            text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

// Steps "<seconds> <event>": held, reserved, freed, ended (the hold ended),
// left (the holder's connection ended), admitted (an operator command), tick
// (the wake-up: what is due), rules (the rules of `next` apply). Writes go
// down as "<seconds> stop|home|patrol <frame>", and each tick adds when the
// next one is due.
Trace Drive(CameraRules rules, const std::vector<std::string>& steps, CameraRules next = {})
{
    CameraSafety core(7, rules, At(0));
    Trace trace;
    const auto note = [&trace](const std::string& at, const CameraSafety::Write& write) {
        static const char* const kinds[] = {"stop", "home", "patrol"};
        trace.push_back(at + " " + kinds[static_cast<int>(write.kind)] + " " + Hex(write.frame));
    };
    for (const std::string& step : steps) {
        std::istringstream words(step);
        std::string at, event;
        words >> at >> event;
        const TimePoint now = At(std::stod(at));
        if (event == "held") {
            core.Held();
        } else if (event == "reserved") {
            core.Occupied();
        } else if (event == "freed") {
            core.Freed(now);
        } else if (event == "ended" || event == "left") {
            if (const auto stop = event == "ended" ? core.HoldEnded() : core.HolderLeft())
                note(at, *stop);
        } else if (event == "admitted") {
            core.CommandAdmitted(now);
        } else if (event == "tick") {
            for (const auto& write : core.Due(now))
                note(at, write);
            const auto wake = core.WakeAt();
            trace.push_back(
                "wake " + (wake ? std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                                     wake->time_since_epoch())
                                                     .count())
                                : std::string("none")));
        } else if (event == "rules") {
            core.SetRules(next);
        } else {
            ADD_FAILURE() << "unknown step " << step;
        }
    }
    return trace;
}

CameraRules Rules(CameraRules::Protocol protocol)
{
    CameraRules rules;
    rules.protocol = protocol;
    return rules;
}

} // namespace

TEST(CameraSafety, StopsWhenAHoldEndsOnceForEachHold)
{
    CameraRules stopD = Rules(CameraRules::Protocol::PelcoD);
    stopD.stopOnRelease = true;
    CameraRules stopP = Rules(CameraRules::Protocol::PelcoP);
    stopP.stopOnRelease = true;
    CameraRules noProtocol;
    noProtocol.stopOnRelease = true;
    const struct
    {
        const char* name;
        CameraRules rules;
        std::vector<std::string> steps;
        Trace trace;
    } cases[] = {
        {"Pelco-D: a lapse stops the camera", stopD, {"0 held", "5 ended"},
         {"5 stop FF 07 00 00 00 00 07"}},
        {"Pelco-P: its own frame and check byte", stopP, {"0 held", "5 ended"},
         {"5 stop A0 07 00 00 00 00 AF 08"}},
        {"the holder's connection ends: a stop at once, none more at the lapse", stopD,
         {"0 held", "1 left", "5 ended"}, {"1 stop FF 07 00 00 00 00 07"}},
        {"a command after the holder left is a hold again, stopped at its end", stopD,
         {"0 held", "1 left", "2 held", "5 ended"},
         {"1 stop FF 07 00 00 00 00 07", "5 stop FF 07 00 00 00 00 07"}},
        {"no hold, no stop: an ending reservation or a second end writes nothing", stopD,
         {"0 reserved", "1 ended", "2 held", "3 ended", "4 ended"},
         {"3 stop FF 07 00 00 00 00 07"}},
        {"off without StopOnRelease", Rules(CameraRules::Protocol::PelcoD), {"0 held", "5 ended"},
         {}},
        {"off without a protocol", noProtocol, {"0 held", "5 ended"}, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Drive(c.rules, c.steps), c.trace) << c.name;
}

TEST(CameraSafety, HomeAfterIdleAndPatrolYieldingAndResuming)
{
    CameraRules home = Rules(CameraRules::Protocol::PelcoD);
    home.homePreset = 3;
    home.homeAfterSecs = 60;
    CameraRules patrol = Rules(CameraRules::Protocol::PelcoD);
    patrol.patrolPresets = {1, 4, 7};
    patrol.dwellSecs = 20;
    patrol.resumeAfterSecs = 60;
    CameraRules both = patrol;
    both.homePreset = 9;
    both.homeAfterSecs = 30;
    CameraRules patrolFirst = both;
    patrolFirst.homeAfterSecs = 60;
    CameraRules shorter = patrol;
    shorter.patrolPresets = {2};
    const struct
    {
        const char* name;
        CameraRules rules;
        std::vector<std::string> steps;
        Trace trace;
        CameraRules next = {};
    } cases[] = {
        {"home once, HomeAfterSecs after the camera became free", home,
         {"0 held", "10 ended", "10 freed", "10 tick", "69 tick", "70 tick", "200 tick"},
         {"wake 70", "wake 70", "70 home FF 07 00 07 00 03 11", "wake none", "wake none"}},
        {"home from the start, and again after each time it was taken", home,
         {"60 tick", "100 reserved", "100 tick", "150 freed", "210 tick"},
         {"60 home FF 07 00 07 00 03 11", "wake none", "wake none",
          "210 home FF 07 00 07 00 03 11", "wake none"}},
        {"an admitted command that took no hold starts the idle count over", home,
         {"50 admitted", "60 tick", "110 tick"},
         {"wake 110", "110 home FF 07 00 07 00 03 11", "wake none"}},
        {"patrol: each preset in turn, DwellSecs apart, round and round", patrol,
         {"60 tick", "80 tick", "100 tick", "120 tick"},
         {"60 patrol FF 07 00 07 00 01 0F", "wake 80", "80 patrol FF 07 00 07 00 04 12",
          "wake 100", "100 patrol FF 07 00 07 00 07 15", "wake 120",
          "120 patrol FF 07 00 07 00 01 0F", "wake 140"}},
        {"an admitted command stops it before the next preset; it resumes from the first "
         "ResumeAfterSecs after the hold ended",
         patrol,
         {"60 tick", "70 admitted", "70 held", "80 tick", "85 ended", "85 freed", "144 tick",
          "145 tick"},
         {"60 patrol FF 07 00 07 00 01 0F", "wake 80", "wake none", "wake 145",
          "145 patrol FF 07 00 07 00 01 0F", "wake 165"}},
        {"a command that took no hold: the patrol stays stopped, ResumeAfterSecs from it",
         patrol, {"60 tick", "70 admitted", "80 tick", "130 tick"},
         {"60 patrol FF 07 00 07 00 01 0F", "wake 80", "wake 130",
          "130 patrol FF 07 00 07 00 01 0F", "wake 150"}},
        {"a reservation stops it; nothing is written while it stands", patrol,
         {"60 tick", "65 reserved", "200 tick", "300 freed", "360 tick"},
         {"60 patrol FF 07 00 07 00 01 0F", "wake 80", "wake none",
          "360 patrol FF 07 00 07 00 01 0F", "wake 380"}},
        {"a late wake-up sends one preset, not the ones it missed", patrol,
         {"60 tick", "200 tick"},
         {"60 patrol FF 07 00 07 00 01 0F", "wake 80", "200 patrol FF 07 00 07 00 04 12",
          "wake 220"}},
        {"home before the patrol when HomeAfterSecs is the shorter", both,
         {"30 tick", "60 tick"},
         {"30 home FF 07 00 07 00 09 17", "wake 60", "60 patrol FF 07 00 07 00 01 0F",
          "wake 80"}},
        {"no home when the patrol starts first", patrolFirst, {"60 tick"},
         {"60 patrol FF 07 00 07 00 01 0F", "wake 80"}},
        {"new rules keep the patrol going with the new tour", patrol,
         {"60 tick", "70 rules", "80 tick"},
         {"60 patrol FF 07 00 07 00 01 0F", "wake 80", "80 patrol FF 07 00 07 00 02 10",
          "wake 100"},
         shorter},
        {"rules without a tour end the patrol", patrol, {"60 tick", "70 rules", "80 tick"},
         {"60 patrol FF 07 00 07 00 01 0F", "wake 80", "wake none"},
         Rules(CameraRules::Protocol::PelcoD)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Drive(c.rules, c.steps, c.next), c.trace) << c.name;
}

} // namespace korvel::camera_safety_test
