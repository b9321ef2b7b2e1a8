#pragma once

#include "camera/PelcoFrames.h"
#include "clock/TimeSource.h"
#include "config/Settings.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace korvel {

// What the service writes to one camera of its own accord, and when; no I/O,
// the time passed in. The control service tells it what happens to the
// camera and writes what it returns through the camera's write path like an
// operator's command, except that such a write takes no hold and is
// announced to nobody. Only a camera whose protocol is known (Pelco-D or
// Pelco-P) is written to at all.
//
//   - Stop on release: when a hold ends, for whatever reason, the camera is
//     sent the stop frame; and when the holder's connection ends while it
//     holds, at once. Once for each hold: a hold that had its stop when its
//     connection ended has none more when it lapses.
//   - Home: once the camera has been free (neither held nor reserved) for
//     HomeAfterSecs, it is sent "go to preset" HomePreset, once for each
//     time it becomes free. With a patrol as well, only if HomeAfterSecs is
//     shorter than ResumeAfterSecs: the patrol takes over from there.
//   - Patrol: once the camera has been free for ResumeAfterSecs, it is sent
//     "go to preset" for each preset of the tour in turn, from the first,
//     DwellSecs apart, round and round. An admitted operator command ends
//     the patrol before it is written (so no further preset goes), and so
//     does a hold or a reservation; the camera is free again, and the wait
//     starts over, when the hold or reservation has ended or when the
//     command took no hold. A wait that the loop kept late sends one preset,
//     never the ones it missed.
//
// A reload's new rules apply at once, keeping the camera's state: a patrol
// under way goes on with the new tour from where it stood.
class CameraSafety
{
public:
    using TimePoint = TimeSource::TimePoint;

    enum class WriteKind
    {
        Stop,
        Home,
        Patrol,
    };
    struct Write
    {
        WriteKind kind = WriteKind::Stop;
        PelcoFrame frame;
    };
    enum class PatrolState
    {
        Off, // no tour configured
        Waiting,
        Patrolling,
    };

    // The camera at the Pelco address is free from `now`.
    CameraSafety(std::uint32_t pelcoNumber, const CameraRules& rules, TimePoint now);

    void SetRules(const CameraRules& next);
    // Something to write ever, a stop, a home or a patrol: when not, the
    // control service need not tell it anything.
    bool Writes() const { return rules.Writes(); }

    // A delivered operator command took or renewed the hold.
    void Held();
    // A reservation began, or a hold.
    void Occupied();
    // Neither held nor reserved from `now` on (nothing changes if it was free).
    void Freed(TimePoint now);
    // The hold ended (lapse, release, revoked user, a reservation): the stop.
    std::optional<Write> HoldEnded();
    // The holder's connection ended while it held: the stop.
    std::optional<Write> HolderLeft() { return HoldEnded(); }
    // An operator command the priority test admitted, before it is written.
    void CommandAdmitted(TimePoint now);

    // The home and patrol writes due by `now`.
    std::vector<Write> Due(TimePoint now);
    // When the next of them falls due; none while the camera is taken.
    std::optional<TimePoint> WakeAt() const;
    PatrolState Patrol() const;

private:
    using Duration = TimeSource::Duration;
    bool Patrols() const { return rules.protocol != CameraRules::Protocol::None &&
                                  !rules.patrolPresets.empty(); }
    bool GoesHome() const;
    PelcoProtocol Protocol() const;
    Duration HomeAfter() const;
    Duration ResumeAfter() const;
    Duration Dwell() const;

    std::uint8_t address;
    CameraRules rules;
    bool taken = false;
    TimePoint freeSince;
    bool homeSent = false;
    bool patrolling = false;
    std::size_t nextPreset = 0;
    TimePoint nextPresetAt{};
    // A hold stands whose end has not had its stop yet.
    bool stopOwed = false;
};

} // namespace korvel
