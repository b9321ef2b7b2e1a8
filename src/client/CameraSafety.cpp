#include "client/CameraSafety.h"

#include <chrono>

namespace korvel {

CameraSafety::CameraSafety(std::uint32_t pelcoNumber, const CameraRules& configured,
                           TimePoint now)
    : address(static_cast<std::uint8_t>(pelcoNumber & 0xFF)), rules(configured), freeSince(now)
{
}

void CameraSafety::SetRules(const CameraRules& next)
{
    rules = next;
    if (!Patrols())
        patrolling = false;
    else
        nextPreset %= rules.patrolPresets.size();
}

PelcoProtocol CameraSafety::Protocol() const
{
    return rules.protocol == CameraRules::Protocol::PelcoP ? PelcoProtocol::P : PelcoProtocol::D;
}

CameraSafety::Duration CameraSafety::HomeAfter() const
{
    return std::chrono::seconds(rules.homeAfterSecs);
}

CameraSafety::Duration CameraSafety::ResumeAfter() const
{
    return std::chrono::seconds(rules.resumeAfterSecs);
}

CameraSafety::Duration CameraSafety::Dwell() const
{
    return std::chrono::seconds(rules.dwellSecs > 0 ? rules.dwellSecs : 1);
}

bool CameraSafety::GoesHome() const
{
    return rules.protocol != CameraRules::Protocol::None && rules.homePreset &&
           (!Patrols() || rules.homeAfterSecs < rules.resumeAfterSecs);
}

void CameraSafety::Held()
{
    stopOwed = true;
    Occupied();
}

void CameraSafety::Occupied()
{
    taken = true;
    patrolling = false;
}

void CameraSafety::Freed(TimePoint now)
{
    if (!taken)
        return;
    taken = false;
    freeSince = now;
    homeSent = false;
    patrolling = false;
}

std::optional<CameraSafety::Write> CameraSafety::HoldEnded()
{
    const bool owed = stopOwed;
    stopOwed = false;
    if (!owed || !rules.stopOnRelease || rules.protocol == CameraRules::Protocol::None)
        return std::nullopt;
    return Write{WriteKind::Stop, PelcoStopFrame(Protocol(), address)};
}

void CameraSafety::CommandAdmitted(TimePoint now)
{
    patrolling = false;
    if (!taken) {
        freeSince = now;
        homeSent = false;
    }
}

std::vector<CameraSafety::Write> CameraSafety::Due(TimePoint now)
{
    std::vector<Write> writes;
    if (taken)
        return writes;
    if (GoesHome() && !homeSent && now >= freeSince + HomeAfter()) {
        homeSent = true;
        writes.push_back({WriteKind::Home, PelcoGoToPresetFrame(Protocol(), address,
                                                                *rules.homePreset)});
    }
    if (!Patrols())
        return writes;
    if (!patrolling && now >= freeSince + ResumeAfter()) {
        patrolling = true;
        nextPreset = 0;
        nextPresetAt = freeSince + ResumeAfter();
    }
    if (patrolling && now >= nextPresetAt) {
        writes.push_back({WriteKind::Patrol,
                          PelcoGoToPresetFrame(Protocol(), address, rules.patrolPresets[nextPreset])});
        nextPreset = (nextPreset + 1) % rules.patrolPresets.size();
        nextPresetAt += Dwell();
        if (nextPresetAt <= now)
            nextPresetAt = now + Dwell();
    }
    return writes;
}

std::optional<CameraSafety::TimePoint> CameraSafety::WakeAt() const
{
    if (taken)
        return std::nullopt;
    std::optional<TimePoint> wake;
    if (GoesHome() && !homeSent)
        wake = freeSince + HomeAfter();
    if (Patrols()) {
        const TimePoint patrol = patrolling ? nextPresetAt : freeSince + ResumeAfter();
        if (!wake || patrol < *wake)
            wake = patrol;
    }
    return wake;
}

CameraSafety::PatrolState CameraSafety::Patrol() const
{
    if (!Patrols())
        return PatrolState::Off;
    return patrolling ? PatrolState::Patrolling : PatrolState::Waiting;
}

} // namespace korvel
