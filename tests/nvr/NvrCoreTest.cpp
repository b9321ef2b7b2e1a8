// The NVR side's decisions without an NVR: which camera a device address
// names, and when a camera's id and name are news.
#include "nvr/DeviceAddress.h"
#include "nvr/NvrCameraDirectory.h"

#include <gtest/gtest.h>

namespace korvel::nvr_core_test {

TEST(NvrDeviceAddress, FirstFourDottedGroupsOfDigits)
{
    const struct
    {
        const char* deviceAddress;
        const char* key; // null: none
    } cases[] = {
        {"127.0.0.20", "127.0.0.20"},
        {"rtsp://127.0.0.21:554/stream", "127.0.0.21"},
        {"127.0.0.22.5", "127.0.0.22"},
        {"cam.local", nullptr},
        {"1.2.3", nullptr},
        {"1.2.3.", nullptr},
        {"1..2.3.4", nullptr},
        {"v1.2.3 at 10.0.0.77", "10.0.0.77"},
        {"1.2.3.x 4.5.6.7", "4.5.6.7"},
        {"0001.02.3.0004x", "0001.02.3.0004"},
        {"a1.2.3.4", "1.2.3.4"},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        const auto key = DottedAddressIn(c.deviceAddress);
        if (c.key) {
            ASSERT_TRUE(key.has_value()) << c.deviceAddress;
            EXPECT_EQ(*key, c.key) << c.deviceAddress;
        } else {
            EXPECT_FALSE(key.has_value()) << c.deviceAddress;
        }
    }
}

TEST(NvrCameraDirectory, NamesAreNewsOnceWhicheverNvrTellsThem)
{
    NvrCameraDirectory cameras({"10.0.0.9", "10.0.0.10", "7"});
    const struct
    {
        const char* address;
        const char* name;
        bool news;
    } steps[] = {
        {"10.0.0.9", "", false}, // an empty name is what is known already
        {"10.0.0.9", "Gate", true},
        {"10.0.0.9", "Gate", false}, // the same NVR again, or another one
        {"10.0.0.9", "Gate West", true},
        {"10.0.0.9", "Gate", true},    // two NVRs that disagree take turns
        {"10.0.0.11", "Other", false}, // not a configured camera
        {"7", "Lobby", true},
    };
    for (const auto& step : steps)
        EXPECT_EQ(cameras.LearnName(step.address, step.name), step.news)
            << step.address << " " << step.name;

    cameras.SetId("10.0.0.9", 5);
    cameras.SetId("10.0.0.11", 6);
    cameras.SetId("7", 7);
    const std::map<std::string, std::uint32_t> expected = {
        {"10.0.0.10", 0}, {"10.0.0.9", 5}, {"7", 7}};
    EXPECT_EQ(cameras.Ids(), expected);
}

} // namespace korvel::nvr_core_test
