#pragma once

// A time source for tests that moves only when the test moves it. Code under
// test waits on it as on the real one; Advance calls the alarms that fall due,
// which wakes the waiters, and AwaitAlarm tells the test that the code has
// come to wait for a deadline, so that the test never sleeps to find out.
#include "clock/TimeSource.h"
#include "clock/WallClock.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

namespace korvel {

class SimulatedTime final : public TimeSource
{
public:
    TimePoint Now() const override
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->now;
    }

    std::unique_ptr<Alarm> SetAlarm(TimePoint deadline, std::function<void()> due) override
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->alarms.push_back({deadline, std::move(due)});
        state->changed.notify_all();
        return std::make_unique<PendingAlarm>(state, std::prev(state->alarms.end()));
    }

    // Moves the time on and calls the alarms that fall due, on this thread.
    void Advance(Duration step)
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->now += step;
        for (Entry& alarm : state->alarms) {
            if (alarm.due && alarm.deadline <= state->now) {
                alarm.due();
                alarm.due = nullptr;
            }
        }
    }

    // Waits, in real time, until some code waits for the deadline: an alarm
    // for it is set and not yet due. False when none came within the timeout.
    bool AwaitAlarm(TimePoint deadline,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) const
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        return state->changed.wait_for(lock, timeout, [&] {
            for (const auto& alarm : state->alarms)
                if (alarm.deadline == deadline && alarm.due)
                    return true;
            return false;
        });
    }

private:
    struct Entry
    {
        TimePoint deadline;
        std::function<void()> due; // empty once called
    };
    struct State
    {
        std::mutex mutex;
        std::condition_variable changed;
        // Far from the clock's epoch, like a real steady clock's reading.
        TimePoint now = TimePoint(std::chrono::hours(1000));
        std::list<Entry> alarms;
    };

    class PendingAlarm final : public Alarm
    {
    public:
        PendingAlarm(std::shared_ptr<State> state, std::list<Entry>::iterator entry)
            : state(std::move(state)), entry(entry)
        {}
        ~PendingAlarm() override
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->alarms.erase(entry);
        }

        std::optional<Duration> RealWait() const override
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (entry->deadline <= state->now)
                return Duration::zero();
            return std::nullopt;
        }

    private:
        std::shared_ptr<State> state;
        std::list<Entry>::iterator entry;
    };

    std::shared_ptr<State> state = std::make_shared<State>();
};

// Calendar time for tests: it stands where the test sets it.
class SimulatedWallClock final : public WallClock
{
public:
    explicit SimulatedWallClock(TimePoint start = TimePoint(std::chrono::hours(24 * 365 * 50)))
        : now(start)
    {}
    TimePoint Now() const override
    {
        std::lock_guard<std::mutex> lock(mutex);
        return now;
    }
    void Set(TimePoint time)
    {
        std::lock_guard<std::mutex> lock(mutex);
        now = time;
    }
    void Advance(std::chrono::system_clock::duration step)
    {
        std::lock_guard<std::mutex> lock(mutex);
        now += step;
    }

private:
    mutable std::mutex mutex;
    TimePoint now;
};

} // namespace korvel
