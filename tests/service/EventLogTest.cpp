// The service's events as a program embedding the service sees them through
// the event sink.
#include "platform/ServicePlatform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvel::event_log_test {

namespace {

struct Record
{
    EventType type;
    std::string source;
    std::string text;
};

class CapturedEvents
{
public:
    CapturedEvents()
    {
        SetEventSink([this](EventType type, const std::string& source, const std::string& text) {
            records.push_back({type, source, text});
        });
    }
    ~CapturedEvents() { SetEventSink(nullptr); }
    std::vector<Record> records;
};

} // namespace

TEST(EventLog, ErrorRecordsCarryTheCodeInHexadecimal)
{
    const std::string longText(300, 'x');
    const struct
    {
        std::string text;
        unsigned long code;
        std::string recorded;
    } cases[] = {
        {"Unable to create service during install.", 5,
         "Unable to create service during install.  Error code=0x00000005"},
        {"Service handle called with unrecognized option code = 200", 200,
         "Service handle called with unrecognized option code = 200  Error code=0x000000c8"},
        {"Any", 0xdeadbeef, "Any  Error code=0xdeadbeef"},
        {longText, 1, std::string(254, 'x')},
    };
    for (const auto& c : cases) {
        CapturedEvents events;
        LogErrorEvent("tlKorvel", c.text, c.code);
        ASSERT_EQ(events.records.size(), 1u);
        EXPECT_EQ(events.records[0].type, EventType::Error);
        EXPECT_EQ(events.records[0].source, "tlKorvel");
        EXPECT_EQ(events.records[0].text, c.recorded);
    }
}

} // namespace korvel::event_log_test
