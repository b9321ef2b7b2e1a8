#include "MachinePauses.h"

#include <chrono>

namespace korvel {

MachinePauseProbe::MachinePauseProbe()
    : thread_([this](std::stop_token stop) {
          using Clock = std::chrono::steady_clock;
          auto last = Clock::now();
          while (!stop.stop_requested()) {
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
              const auto now = Clock::now();
              const std::int64_t gap =
                  std::chrono::duration_cast<std::chrono::nanoseconds>(now - last).count();
              last = now;
              if (gap > ThresholdNanos)
                  count_.fetch_add(1, std::memory_order_relaxed);
              if (gap > longest_.load(std::memory_order_relaxed))
                  longest_.store(gap, std::memory_order_relaxed);
          }
      })
{}

MachinePauseProbe::~MachinePauseProbe() = default;

MachinePauses MachinePauseProbe::Finish()
{
    thread_.request_stop();
    if (thread_.joinable())
        thread_.join();
    return {count_.load(), longest_.load()};
}

} // namespace korvel
