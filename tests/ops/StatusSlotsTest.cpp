// Places on the status server on simulated time: which connection gives way
// when an address or the whole server is full.
#include "ops/StatusSlots.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel::status_slots_test {

namespace {

// Sixteen connections, four from each of the addresses a, b, c and d.
std::vector<std::string> FullServer()
{
    std::vector<std::string> steps;
    for (const char* address : {"+a", "+b", "+c", "+d"})
        steps.insert(steps.end(), 4, address);
    return steps;
}

using Then = std::vector<std::string>;

std::vector<std::string> operator+(std::vector<std::string> first, const Then& then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

} // namespace

TEST(StatusSlots, ThePlaceGoesToTheNewcomerFromTheConnectionIdleLongest)
{
    // Step i happens at second i: "+A" a connection from address A, "~N" the
    // connection of step N reads a request (busy, not idle), "-N" it closes.
    // Expected: the step whose connection the last step's newcomer closes.
    const struct
    {
        const char* what;
        std::vector<std::string> steps;
        int closed; // -1: none
        std::size_t places;
    } cases[] = {
        {"four from one address keep their places", {"+a", "+a", "+a", "+a"}, -1, 4},
        {"a fifth from that address closes its own idle longest",
         {"+b", "+a", "+a", "+a", "+a", "+a"},
         1,
         5},
        {"a connection that read a request is busy, not idle",
         {"+a", "+a", "+a", "+a", "~0", "+a"},
         1,
         4},
        {"a seventeenth closes the idle longest of all", FullServer() + Then{"~0", "+e"}, 1, 16},
        {"a connection that left frees its place", FullServer() + Then{"-3", "-3", "+e"}, -1, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StatusSlots slots(16, 4);
        std::vector<StatusSlots::Id> ids;
        std::map<StatusSlots::Id, int> steps;
        std::optional<StatusSlots::Id> closed;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const auto now = StatusSlots::Clock::time_point() + std::chrono::seconds(i);
            const std::string& step = c.steps[i];
            ids.push_back(0);
            if (step[0] == '+') {
                const auto admission = slots.Admit(step.substr(1), now);
                ids.back() = admission.id;
                steps[admission.id] = static_cast<int>(i);
                closed = admission.closed;
            } else if (step[0] == '~') {
                slots.Touch(ids.at(std::stoul(step.substr(1))), now);
            } else {
                slots.Remove(ids.at(std::stoul(step.substr(1))));
            }
        }
        EXPECT_EQ(closed ? steps[*closed] : -1, c.closed);
        EXPECT_EQ(slots.Size(), c.places);
    }
}

} // namespace korvel::status_slots_test
