#include "model/ModelRun.h"

#include "model/Model.h"
#include "model/Simulator.h"

#include <sstream>

namespace korvel::model {

std::optional<Failure> Check(const Run& run)
{
    Model model(run.world);
    Simulator service(run.world);
    for (std::size_t i = 0; i < run.events.size(); ++i) {
        model.Apply(run.events[i]);
        service.Apply(run.events[i], model.Stops());
        Failure failure{i + 1, Differences(model.Observe(), service.Observe())};
        for (std::string& violation : service.Violations())
            failure.problems.push_back("invariant: " + violation);
        if (!failure.problems.empty())
            return failure;
    }
    return std::nullopt;
}

Run Shrink(const Run& failing, std::size_t* checks)
{
    std::size_t tried = 0;
    auto fails = [&](const Run& run) {
        ++tried;
        return Check(run).has_value();
    };
    Run best = failing;
    if (const auto failure = Check(best))
        best.events.resize(failure->step);
    // Bounded: a long failing run shrinks in a few thousand checks.
    constexpr std::size_t MaxChecks = 3000;
    for (bool progress = true; progress && tried < MaxChecks;) {
        progress = false;
        for (std::size_t chunk = std::max<std::size_t>(1, best.events.size() / 2); chunk >= 1;
             chunk /= 2) {
            for (std::size_t start = 0; start < best.events.size();) {
                Run candidate = best;
                const auto from = candidate.events.begin() + static_cast<std::ptrdiff_t>(start);
                candidate.events.erase(
                    from, from + static_cast<std::ptrdiff_t>(
                                     std::min(chunk, candidate.events.size() - start)));
                if (!candidate.events.empty() && tried < MaxChecks && fails(candidate)) {
                    best = std::move(candidate);
                    progress = true;
                } else {
                    start += chunk;
                }
            }
            if (chunk == 1)
                break;
        }
        // Shorter moves of the clock, and simpler numbers.
        auto field = [](Event& event, int which) -> int& {
            return which == 0 ? event.a : which == 1 ? event.b : event.c;
        };
        for (std::size_t i = 0; i < best.events.size() && best.events.size() <= 40; ++i) {
            for (int which = 0; which < 3; ++which) {
                const int value = field(best.events[i], which);
                // Smaller numbers that may mean the same (the events read
                // them modulo what exists), then shorter moves of the clock.
                std::vector<int> smaller{0, 1, 2, 3, value % 4, value % 5, value % 6};
                if (best.events[i].kind == EventKind::Advance && which == 0)
                    smaller = {value / 2, value / 10, value - 1};
                for (const int candidateValue : smaller) {
                    if (candidateValue < 0 || candidateValue >= field(best.events[i], which))
                        continue;
                    Run candidate = best;
                    field(candidate.events[i], which) = candidateValue;
                    if (tried < MaxChecks && fails(candidate)) {
                        best = std::move(candidate);
                        progress = true;
                    }
                }
            }
        }
    }
    if (checks)
        *checks = tried;
    return best;
}

std::string Report(const Run& run, const Failure& failure)
{
    std::ostringstream text;
    text << "after step " << failure.step << ":\n";
    for (const std::string& problem : failure.problems)
        text << "  " << problem << '\n';
    text << RunTable(run) << "as a saved run (tests/model/regressions/NAME.run):\n";
    WriteRun(text, run);
    return text.str();
}

} // namespace korvel::model
