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

// A supervisor's kept-alive connection (step 0, from s), then fifteen from
// eight addresses that reconnect: two each from e to k, one from l.
std::vector<std::string> SupervisorAmongChurn()
{
    std::vector<std::string> steps{"+s"};
    for (const char* address : {"+e", "+f", "+g", "+h", "+i", "+j", "+k"})
        steps.insert(steps.end(), 2, address);
    steps.push_back("+l");
    return steps;
}

using Then = std::vector<std::string>;

std::vector<std::string> operator+(std::vector<std::string> first, const Then& then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

} // namespace

TEST(StatusSlots, ThePlaceGoesToTheNewcomerFromAnIdleConnectionOfTheFullestAddress)
{
    // Step i happens at second i: "+A" a connection from address A, "~N" the
    // connection of step N reads a request (busy until answered), "=N" its
    // answer is written (idle again), "-N" it closes. Expected: the step
    // whose connection the last step's newcomer closes, or -1 for none (-2:
    // the newcomer is turned away).
    const struct
    {
        const char* what;
        std::vector<std::string> steps;
        int closed;
        std::size_t places;
    } cases[] = {
        {"four from one address keep their places", {"+a", "+a", "+a", "+a"}, -1, 4},
        {"a fifth from that address closes its own idle longest",
         {"+b", "+a", "+a", "+a", "+a", "+a"},
         1,
         5},
        {"a connection answered since is idle since its answer",
         {"+a", "+a", "+a", "+a", "~0", "=0", "+a"},
         1,
         4},
        {"a connection whose request is being answered is never closed, however long",
         {"+a", "+a", "+a", "+a", "~0", "~1", "=1", "~2", "=2", "~3", "=3", "+a"},
         1,
         4},
        {"a seventeenth closes the idle longest of the fullest addresses",
         FullServer() + Then{"~0", "=0", "+e"}, 1, 16},
        {"the fullest address gives way before an older connection of another",
         Then{"+x"} + Then{"+a", "+a", "+a", "+b", "+b", "+b", "+c", "+c", "+c", "+d", "+d", "+d",
                           "+e", "+e", "+e", "+a"},
         1, 16},
        {"a supervisor's idle connection outlasts reconnecting addresses",
         SupervisorAmongChurn() + Then{"+m", "+n", "+m", "+o"}, 7, 16},
        {"every place busy: the newcomer is turned away",
         Then{"+a", "+a", "+a", "+a", "~0", "~1", "~2", "~3", "+a"}, -2, 4},
        {"a connection that left frees its place", FullServer() + Then{"-3", "-3", "+e"}, -1, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StatusSlots slots(16, 4);
        std::vector<StatusSlots::Id> ids;
        std::map<StatusSlots::Id, int> steps;
        int closed = -1;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const auto now = StatusSlots::Clock::time_point() + std::chrono::seconds(i);
            const std::string& step = c.steps[i];
            ids.push_back(0);
            const auto other = [&] { return ids.at(std::stoul(step.substr(1))); };
            if (step[0] == '+') {
                const auto admission = slots.Admit(step.substr(1), now);
                ids.back() = admission.id;
                steps[admission.id] = static_cast<int>(i);
                closed = !admission.Admitted() ? -2
                         : admission.closed    ? steps[*admission.closed]
                                               : -1;
            } else if (step[0] == '~') {
                slots.RequestRead(other(), now);
            } else if (step[0] == '=') {
                slots.Answered(other(), now);
            } else {
                slots.Remove(other());
            }
        }
        EXPECT_EQ(closed, c.closed);
        EXPECT_EQ(slots.Size(), c.places);
    }
}

} // namespace korvel::status_slots_test
