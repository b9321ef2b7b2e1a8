#pragma once

// A run through the reference model and the simulated service side by side
// (Check), and the shortest run that still fails (Shrink).
#include "model/Events.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace korvel::model {

struct Failure
{
    std::size_t step = 0; // 1-based: after which event
    std::vector<std::string> problems;
};

// The first step after which the service's observations differ from the
// model's or an invariant broke; none when the whole run agrees.
std::optional<Failure> Check(const Run& run);

// A shorter run that still fails (any failure): events dropped, chunk by
// chunk and then one by one, and long moves of the clock shortened, for as
// long as the run keeps failing. `checks` counts the runs tried.
Run Shrink(const Run& failing, std::size_t* checks = nullptr);

// The run, its failure and its table, for a test's output.
std::string Report(const Run& run, const Failure& failure);

} // namespace korvel::model
