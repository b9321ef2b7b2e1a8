// The configuration loader on small files of the test's own, with the track
// cameras built among its lines as the run builds them: messages, defaults
// and the tables.
#include "config/Configuration.h"
#include "camera/TrackCamera.h"
#include "host/TrackCameraTable.h"
#include "support/CameraLoop.h"
#include "support/LogCapture.h"
#include "support/LoopbackListener.h"
#include "support/PseudoTerminal.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace korvel::configuration_test {

namespace {

// One load of a file (none when xml is null), its cameras built, with what
// it logged after the "Reading config file" line.
struct Load
{
    Load() = default;
    explicit Load(const char* xml) { Run(xml); }

    void Run(const char* xml)
    {
        if (xml)
            WriteFile(dir.File("tlKorvel.xml"), xml);
        LogCapture log;
        loaded = LoadConfigurationFile(dir.Path());
        result = loaded.usable ? 0 : -1;
        TrackCameras built = BuildTrackCameras(io, RealTime(), loaded);
        cameras = std::move(built.cameras);
        failure = built.failure;
        lines = log.Lines();
        if (lines.empty() || lines.front() != "Reading config file " + dir.File("tlKorvel.xml"))
            throw std::logic_error("no Reading config file line");
        lines.erase(lines.begin());
    }

    const Options& options() const { return loaded.configuration.options; }
    const std::map<std::string, NvrSettings>& nvrs() const { return loaded.configuration.nvrs; }
    const UserTable& users() const { return loaded.configuration.control.users; }

    TempDir dir;
    boost::asio::io_context io; // outlives the tables
    LoadedConfiguration loaded;
    CameraTable cameras;
    std::string failure; // of the camera that could not be started
    int result = 0;
    std::vector<std::string> lines;
};

std::string File(const std::string& body)
{
    return "<?xml version=\"1.0\"?>\n<tlKorvel>\n" + body + "\n</tlKorvel>\n";
}

const std::string Control = "<KorvelControl />";
const std::string Nvr = R"(<NVR Address="10.1.1.1" Port="1" Login="admin" Password="pw">)";

std::string Camera(const std::string& address, int pelco)
{
    return "<Camera Address=\"" + address + "\" PelcoNumber=\"" + std::to_string(pelco) +
           "\" Port=\"1\" />";
}

std::string Connecting(const std::string& address)
{
    return "Connecting to track camera at " + address + ":1";
}

const std::string Loaded = "Loaded config for server at 10.1.1.1";
const std::string Repeated = "*** Error: Configuration has multiple entries with PelcoNumber=";
const std::string NvrRule = "NVR element must define both 'User' and 'Password' attributes.";
const std::string NvrExample =
    "Example:  <NVR Address=\"1.2.3.4\" Port=\"12345\" User=\"myname\" Password=\"zkpw\" />";

} // namespace

TEST(Configuration, MessagesDefaultsAndTables)
{
    using Check = std::function<void(const Load&)>;
    auto clientIs = [](const char* address, std::uint32_t port) -> Check {
        return [=](const Load& load) {
            EXPECT_EQ(load.options().clientAddress, address);
            EXPECT_EQ(load.options().clientPort, port);
        };
    };
    const std::string missingNvr = "Port specifier for NVR  in tlKorvel.xml file is non-integer "
                                   "or missing.  Defaulting to 22609.";
    const struct
    {
        const char* name;
        const char* xml; // null: no file
        int result;
        std::vector<std::string> lines;
        Check check = nullptr;
    } cases[] = {
        {"missing file",
         nullptr,
         -1,
         {"Exiting due to missing, incorrect, or incomplete tlKorvel.xml configuration file."}},
        {"malformed",
         "<tlKorvel><Options></tlKorvel>",
         -1,
         {"Exiting due to missing, incorrect, or incomplete tlKorvel.xml configuration file."}},
        {"no root",
         "<Other><KorvelControl /></Other>",
         -1,
         {"No tlKorvel section found in tlKorvel.xml config file.  Exiting."}},
        {"empty control",
         "<tlKorvel><KorvelControl /></tlKorvel>",
         0,
         {},
         [](const Load& load) {
             EXPECT_EQ(load.options().clientAddress, "127.0.0.1");
             EXPECT_EQ(load.options().clientPort, 55272u);
             EXPECT_TRUE(load.users().empty() && load.nvrs().empty() && load.cameras.empty());
         }},
        {"no control, no options", "<tlKorvel />", 0, {}, clientIs("127.0.0.1", 55272)},
        {"port abc, empty address",
         R"(<tlKorvel><Options ClientAddress="" ClientPort="abc" /></tlKorvel>)",
         0,
         {"Address  in tlKorvel.xml is undefined or invalid.  Defaulting to 127.0.0.1."},
         clientIs("127.0.0.1", 55272)},
        {"port -1, no address",
         R"(<tlKorvel><Options ClientPort="-1" /></tlKorvel>)",
         0,
         {"Address  in tlKorvel.xml is undefined or invalid.  Defaulting to 127.0.0.1."},
         clientIs("127.0.0.1", 4294967295u)},
        {"address and port 12abc",
         R"(<tlKorvel><Options ClientAddress="0.0.0.0" ClientPort="12abc" /></tlKorvel>)",
         0,
         {},
         clientIs("0.0.0.0", 12)},
        {"users",
         R"(<tlKorvel><KorvelControl LockTime=" 7s">
              <User Name="ann" Password="a&amp;b" Priority="-3" /><User Password="x" />
              <User Name="" /><User Name="ann" Password="second" /><User Name="bob" Priority="x" />
            </KorvelControl></tlKorvel>)",
         0,
         {"Skipping <User> entry due to empty or invalid Name value in tlKorvel.xml.",
          "Skipping <User> entry due to empty or invalid Name value in tlKorvel.xml."},
         [](const Load& load) {
             ASSERT_EQ(load.users().size(), 2u);
             const UserAccount& ann = load.users().at("ann");
             EXPECT_EQ(ann.password, "a&b");
             EXPECT_EQ(ann.priority, -3);
             EXPECT_EQ(load.users().at("bob").password, "");
             EXPECT_EQ(load.users().at("bob").priority, 0);
         }},
        {"nvr ports",
         R"(<tlKorvel><NVR Address="10.0.0.9" Port="22609 " Login="a" Password="" />
            <NVR Address="10.0.0.10" Port="+80" Login="a" Password="p" />
            <NVR Port="0x10" Login="b" Password="q" /></tlKorvel>)",
         0,
         {"Port specifier for NVR 10.0.0.9 in tlKorvel.xml file is non-integer or missing.  "
          "Defaulting to 22609.",
          "Loaded config for server at 10.0.0.9", "Loaded config for server at 10.0.0.10",
          "Address specifier for NVR  in tlKorvel.xml file is undefined.  Defaulting to 127.0.0.1.",
          missingNvr, "Loaded config for server at 127.0.0.1"},
         [](const Load& load) {
             ASSERT_EQ(load.nvrs().size(), 3u);
             EXPECT_EQ(load.nvrs().begin()->first, "10.0.0.10") << "byte-wise order";
             EXPECT_EQ(load.nvrs().at("10.0.0.10").port, 80);
             EXPECT_EQ(load.nvrs().at("10.0.0.9").port, 22609);
             EXPECT_EQ(load.nvrs().at("10.0.0.9").password, "");
             EXPECT_EQ(load.nvrs().at("127.0.0.1").login, "b");
         }},
        {"nvr without login or password",
         R"(<tlKorvel><NVR Address="10.0.0.1" Port="1" Login="" Password="p">
              <Camera Address="c" /></NVR>
            <NVR Address="10.0.0.2" Port="1" /></tlKorvel>)",
         0,
         {"No 'Login' attribute defined for NVR 10.0.0.1 in tlKorvel.xml file. Skipping this NVR.",
          NvrRule, NvrExample,
          "No 'Login' attribute defined for NVR 10.0.0.2 in tlKorvel.xml file. Skipping this NVR.",
          "No 'Password' attribute defined in tlKorvel.xml file for user  on 10.0.0.2. Skipping "
          "this NVR.",
          NvrRule, NvrExample},
         [](const Load& load) { EXPECT_TRUE(load.nvrs().empty() && load.cameras.empty()); }},
        {"nvr without password",
         R"(<tlKorvel><NVR Address="10.0.0.3" Port="1" Login="op" /></tlKorvel>)",
         0,
         {"No 'Password' attribute defined in tlKorvel.xml file for user op on 10.0.0.3. "
          "Skipping this NVR.",
          NvrRule, NvrExample}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Load load(c.xml);
        EXPECT_EQ(load.result, c.result);
        EXPECT_EQ(load.lines, c.lines);
        if (c.check)
            c.check(load);
    }
}

TEST(Configuration, CamerasAndRepeatedPelcoNumbers)
{
    const struct
    {
        const char* name;
        std::string body;
        int result;
        std::vector<std::string> lines;
        std::vector<std::string> filed; // address and PelcoNumber of each filed camera
    } cases[] = {
        {"two NVRs share a number",
         Nvr + Camera("10.0.0.1", 3) + "</NVR>" +
             R"(<NVR Address="10.1.1.2" Port="1" Login="a" Password="b">)" + Camera("10.0.0.2", 3) +
             "</NVR>",
         -1,
         {Loaded, Connecting("10.0.0.1"), "Loaded config for server at 10.1.1.2",
          Connecting("10.0.0.2"), Repeated + "3"},
         {"10.0.0.1 3", "10.0.0.2 3"}},
        {"three share a number",
         Nvr + Camera("10.0.0.1", 3) + Camera("10.0.0.2", 3) + Camera("10.0.0.3", 3) + "</NVR>",
         -1,
         {Loaded, Connecting("10.0.0.1"), Connecting("10.0.0.2"), Repeated + "3",
          Connecting("10.0.0.3"), Repeated + "3", Repeated + "3"},
         {"10.0.0.1 3", "10.0.0.2 3", "10.0.0.3 3"}},
        {"repeated address, other number",
         Nvr + Camera("10.0.0.1", 3) + Camera("10.0.0.1", 4) + "</NVR>",
         0,
         {Loaded, Connecting("10.0.0.1"), Connecting("10.0.0.1")},
         {"10.0.0.1 3"}},
        {"camera written twice",
         Nvr + Camera("10.0.0.1", 3) + Camera("10.0.0.1", 3) + "</NVR>",
         -1,
         {Loaded, Connecting("10.0.0.1"), Connecting("10.0.0.1"), Repeated + "3"},
         {"10.0.0.1 3"}},
        {"NVR written twice",
         Nvr + Camera("10.0.0.1", 4) + "</NVR>" + Nvr + Camera("10.0.0.1", 4) + "</NVR>",
         -1,
         {Loaded, Connecting("10.0.0.1"), Loaded, Connecting("10.0.0.1"), Repeated + "4"},
         {"10.0.0.1 4"}},
        {"missing address, default port and number, camera under the root",
         Nvr + R"(<Camera PelcoNumber="2" /><Camera Address="10.0.0.5" /></NVR>)" +
             Camera("10.0.0.6", 9),
         0,
         {Loaded,
          "Missing or empty 'Address' attribute for <Camera> entry in tlKorvel.xml file. "
          "Skipping.",
          "Connecting to track camera at 10.0.0.5:1000"},
         {"10.0.0.5 1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Load load(File(Control + c.body).c_str());
        EXPECT_EQ(load.result, c.result);
        EXPECT_EQ(load.lines, c.lines);
        std::vector<std::string> filed;
        for (const auto& entry : load.cameras)
            filed.push_back(entry.first + " " + std::to_string(entry.second->GetPelcoNumber()));
        EXPECT_EQ(filed, c.filed);
    }
}

// The camera filed second under an address holds nothing: it never connects.
// The lock time reaches the cameras (" 0s" reads as 0: released at once).
TEST(Configuration, UnfiledCameraIsStoppedAndLockTimeReachesTheCameras)
{
    Load load;
    LoopbackListener first(load.io);
    LoopbackListener second(load.io);
    const std::string body =
        R"(<KorvelControl LockTime=" 0s" />)" + Nvr + R"(<Camera Address="127.0.0.1" Port=")" +
        std::to_string(first.Port()) + R"(" /><Camera Address="127.0.0.1" PelcoNumber="2" Port=")" +
        std::to_string(second.Port()) + R"(" /></NVR>)";
    load.Run(File(body).c_str());
    ASSERT_EQ(load.result, 0);
    ASSERT_EQ(load.cameras.size(), 1u);
    TrackCamera& camera = *load.cameras.begin()->second;
    EXPECT_EQ(camera.GetLockTimeSecs(), 0);
    DeliveryRecorder recorder;
    recorder.Watch(camera);

    ASSERT_TRUE(RunUntil(load.io, [&] { return first.Connections() == 1; }));
    recorder.Send(camera, 1, 1, "go");
    ASSERT_TRUE(RunUntil(load.io, [&] { return recorder.events.size() == 1; }));
    // A camera made now for the second port resolves, connects and is
    // accepted after anything the unfiled camera would have done there.
    CameraSettings later;
    later.address = "127.0.0.1";
    later.port = std::to_string(second.Port());
    TrackCamera witness(load.io, RealTime(), later, 1, 0);
    recorder.Watch(witness);
    ASSERT_TRUE(RunUntil(load.io, [&] { return second.Connections() == 1; }));
    recorder.Send(witness, 2, 1, "w");
    ASSERT_TRUE(RunUntil(load.io, [&] { return second.ReceivedByAll() == "w"; }));
    EXPECT_EQ(second.Received(0), "w") << "the unfiled camera never connected";
    EXPECT_EQ(second.Connections(), 1u);
    witness.Stop();
}

// A serial line's notices come where its camera is built; DataBits that no
// line takes end the building there, once the device has opened and taken
// the speed, and the lines after it are not written.
TEST(Configuration, SerialLinesSayWhatTheLoaderLeftThemAtTheirPlace)
{
    PseudoTerminal line;
    const std::string device = line.SlavePath();
    const std::string missing = "/dev/korvel-no-such-tty";
    auto serial = [&](const std::string& address, const std::string& port,
                      const std::string& attributes) {
        return "<Camera Address=\"" + address + "\" Port=\"" + port + "\" " + attributes + " />";
    };
    auto invalid = [&](const std::string& what, const std::string& address, const std::string& port,
                       const char* value) {
        return "Invalid " + what + " value for camera at " + address + ":" + port +
               ". Defaulting to " + value;
    };
    const std::string opened = "Connecting to analog track camera on serial port " + device;
    const std::string noDevice =
        "Error connecting to track camera on serial port " + missing + ":No such file or directory";
    const struct
    {
        const char* name;
        std::string body;
        std::vector<std::string> lines;
        std::string failure;
    } cases[] = {
        {"notices in the order of the steps, then the next camera",
         Nvr + serial("s1", device, R"(Parity="x" StopBits="0")") + Camera("10.0.0.1", 2) +
             "</NVR>",
         {Loaded, invalid("StopBits", "s1", device, "1"), invalid("Parity", "s1", device, "N"),
          opened, Connecting("10.0.0.1")},
         ""},
        {"a missing device hears nothing of its settings, nor of its DataBits",
         Nvr + serial("s1", missing, R"(DataBits="9" StopBits="3")") + Camera("10.0.0.1", 2) +
             "</NVR>",
         {Loaded, noDevice, Connecting("10.0.0.1")},
         ""},
        {"a refused speed ends the set-up before the notices",
         Nvr + serial("s1", device, R"(BaudRate="12345" StopBits="3")") + "</NVR>",
         {Loaded,
          "Error connecting to track camera on serial port " + device + ":Invalid argument"},
         ""},
        {"DataBits 9 ends the building silently, before the later notices",
         Nvr + Camera("10.0.0.1", 1) + serial("s1", device, R"(DataBits="9" StopBits="3")") +
             Camera("10.0.0.2", 2) + "</NVR>" +
             R"(<NVR Address="10.1.1.2" Port="1" Login="a" Password="b" />)",
         {Loaded, Connecting("10.0.0.1")},
         "invalid character_size value"},
        {"also on a camera the loader does not file",
         Nvr + serial("s1", missing, "") + serial("s1", device, R"(DataBits="4")") + "</NVR>",
         {Loaded, noDevice},
         "invalid character_size value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Load load(File(Control + c.body).c_str());
        EXPECT_EQ(load.lines, c.lines);
        EXPECT_EQ(load.failure, c.failure);
        if (!c.failure.empty()) {
            EXPECT_TRUE(load.cameras.empty());
        }
    }
}

} // namespace korvel::configuration_test
