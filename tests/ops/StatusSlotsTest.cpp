// Places on the status server on simulated time: which connection gives way
// when an address or the whole server is full.
#include "ops/StatusSlots.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace korvel::status_slots_test {

namespace {

using Clock = StatusSlots::Clock;

struct Step
{
    enum Kind
    {
        Accept, // a connection named `name` from `address`
        Touch,  // `name` read a request or wrote an answer
        Leave,  // `name` closed
    } kind;
    int atSecond;
    std::string name;
    std::string address;
    std::string closed; // Accept: the connection that gives way, empty for none
};

// `count` connections from the address, one a second from `firstSecond`,
// named prefix0, prefix1, ...; none gives way.
std::vector<Step> Fill(const std::string& prefix, const std::string& address, int count,
                       int firstSecond)
{
    std::vector<Step> steps;
    for (int i = 0; i < count; ++i)
        steps.push_back({Step::Accept, firstSecond + i, prefix + std::to_string(i), address, ""});
    return steps;
}

std::vector<Step> operator+(std::vector<Step> first, const std::vector<Step>& then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

} // namespace

TEST(StatusSlots, ThePlaceGoesToTheNewcomerFromTheConnectionIdleLongest)
{
    const struct
    {
        const char* what;
        std::vector<Step> steps;
        std::size_t size; // places taken at the end
    } cases[] = {
        {"four from one address keep their places", Fill("a", "10.0.0.1", 4, 0), 4},
        {"a fifth from that address closes its own idle longest",
         Fill("a", "10.0.0.1", 4, 0) + Fill("b", "10.0.0.2", 4, 10) +
             std::vector<Step>{{Step::Accept, 20, "a4", "10.0.0.1", "a0"},
                               {Step::Accept, 21, "a5", "10.0.0.1", "a1"}},
         8},
        {"a request makes a connection busy: the next idle one gives way",
         Fill("a", "10.0.0.1", 4, 0) +
             std::vector<Step>{{Step::Touch, 5, "a0", "", ""},
                               {Step::Accept, 6, "a4", "10.0.0.1", "a1"}},
         4},
        {"sixteen from four addresses fill the server; a newcomer closes the idle longest",
         Fill("a", "10.0.0.1", 4, 0) + Fill("b", "10.0.0.2", 4, 4) + Fill("c", "10.0.0.3", 4, 8) +
             Fill("d", "10.0.0.4", 4, 12) +
             std::vector<Step>{{Step::Touch, 16, "a0", "", ""},
                               {Step::Accept, 17, "e0", "10.0.0.5", "a1"},
                               {Step::Accept, 18, "e1", "10.0.0.5", "a2"}},
         16},
        {"a connection that left frees its place",
         Fill("a", "10.0.0.1", 4, 0) + Fill("b", "10.0.0.2", 4, 4) + Fill("c", "10.0.0.3", 4, 8) +
             Fill("d", "10.0.0.4", 4, 12) +
             std::vector<Step>{{Step::Leave, 16, "c2", "", ""},
                               {Step::Accept, 17, "e0", "10.0.0.5", ""},
                               {Step::Leave, 18, "c2", "", ""},
                               {Step::Accept, 19, "c4", "10.0.0.3", "a0"}},
         16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StatusSlots slots(16, 4);
        std::map<std::string, StatusSlots::Id> ids;
        std::map<StatusSlots::Id, std::string> names;
        for (const Step& step : c.steps) {
            SCOPED_TRACE(step.name + " at " + std::to_string(step.atSecond));
            const Clock::time_point now = Clock::time_point() + std::chrono::seconds(step.atSecond);
            switch (step.kind) {
            case Step::Accept: {
                const auto admission = slots.Admit(step.address, now);
                ids[step.name] = admission.id;
                names[admission.id] = step.name;
                EXPECT_EQ(admission.closed ? names[*admission.closed] : "", step.closed);
                break;
            }
            case Step::Touch:
                slots.Touch(ids.at(step.name), now);
                break;
            case Step::Leave:
                slots.Remove(ids.at(step.name));
                break;
            }
        }
        EXPECT_EQ(slots.Size(), c.size);
    }
}

} // namespace korvel::status_slots_test
