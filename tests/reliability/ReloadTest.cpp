// Reloads of tlKorvel.xml under a running control room: the service, camsim,
// nvrsim and the operators as real processes and sockets, the reload asked
// for with SIGHUP as in the foreground.
#include "client/OperatorProtocol.h"
#include "support/Camsim.h"
#include "support/NvrSimulator.h"
#include "support/OperatorClient.h"
#include "support/PelcoFrame.h"
#include "support/ServiceProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace korvel::reload_process_test {

namespace {

const char* const Ann = R"(<User Name="ann" Password="a" Priority="5" />)";
const char* const Bob = R"(<User Name="bob" Password="b" Priority="3" />)";
const char* const Cat = R"(<User Name="cat" Password="c" Priority="1" />)";
const std::string Lapsed(OperatorProtocol::ControlLapsed);
const std::string YouHaveControl(OperatorProtocol::YouHaveControl);

std::string CameraElement(const std::string& address, const Camsim& camera, unsigned pelco)
{
    return R"(<Camera Address=")" + address + R"(" Port=")" + std::to_string(camera.Port()) +
           R"(" PelcoNumber=")" + std::to_string(pelco) + R"(" />)";
}

std::string NvrElement(const NvrSimulator& nvr, const std::string& password)
{
    return R"(Address="127.0.0.1" Port=")" + std::to_string(nvr.Port()) +
           R"(" Login="op" Password=")" + password + R"(")";
}

// SIGHUP, then the reload's closing line, as the n-th of its kind.
void Reload(const ServiceProcess& service, const ServiceSetup& setup, const std::string& closing,
            int count = 1)
{
    WriteFile(service.Directory() + "tlKorvel.xml", setup.Xml());
    ASSERT_EQ(::kill(service.Pid(), SIGHUP), 0);
    ASSERT_TRUE(service.WaitForLog(closing, count)) << service.Log();
}

std::size_t Occurrences(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

} // namespace

// Ann holds camera A and Bob camera B. The reload adds the user Cat and the
// camera C, removes B and gives the NVR another password.
TEST(ConfigurationReload, OperatorsKeepSteeringWhileUsersCamerasAndAnNvrChange)
{
    auto cameraA = Camsim::Tcp(0, "127.0.0.20");
    auto cameraB = Camsim::Tcp(0, "127.0.0.21");
    auto cameraC = Camsim::Tcp(0, "127.0.0.22");
    NvrSimulator nvr("127.0.0.1:0", {"user op old", "camera 5 127.0.0.20 Front",
                                     "camera 6 127.0.0.21 Back", "camera 7 127.0.0.22 Side"});
    ServiceSetup setup;
    setup.lockTimeSecs = 60;
    setup.users = {Ann, Bob};
    setup.nvr = NvrElement(nvr, "old");
    setup.cameras = {CameraElement("127.0.0.20", *cameraA, 1),
                     CameraElement("127.0.0.21", *cameraB, 2)};
    setup.control = R"(AuditFile="audit.log")";
    ServiceProcess service(setup);
    ASSERT_TRUE(WaitUntil([&] { return nvr.Dump().find("guid=KORVEL_6") != std::string::npos; }))
        << nvr.Dump();

    auto ann = LogIn(service.Port(), "ann", "a");
    auto bob = LogIn(service.Port(), "bob", "b");
    ASSERT_TRUE(SendMessage(*ann, NumberedFrame(1, 1)));
    ASSERT_TRUE(SendMessage(*bob, NumberedFrame(2, 1)));
    const std::string front = "1CAMERA\t127.0.0.20\t1\tFront";
    const std::string back = "1CAMERA\t127.0.0.21\t2\tBack";
    ASSERT_EQ(ann->Read(front.size() + YouHaveControl.size()), front + YouHaveControl);
    ASSERT_EQ(bob->Read(back.size() + YouHaveControl.size()), back + YouHaveControl);
    ASSERT_TRUE(cameraA->WaitForNumber(1));
    ASSERT_TRUE(cameraB->WaitForNumber(1));

    nvr.Command("user op new");
    setup.users = {Ann, Bob, Cat};
    setup.nvr = NvrElement(nvr, "new");
    setup.cameras = {CameraElement("127.0.0.20", *cameraA, 1),
                     CameraElement("127.0.0.22", *cameraC, 3)};
    Reload(service, setup,
           "Reloaded tlKorvel.xml: 1 user added, 0 users removed, 1 camera added, 1 camera "
           "removed, 0 cameras changed, 1 NVR changed.");
    for (const char* line :
         {"User cat added", "Track camera at 127.0.0.21 removed (PelcoNumber 2)",
          "Track camera at 127.0.0.22 added (PelcoNumber 3)",
          "NVR at 127.0.0.1 changed; logging in again", "Closing connection to NVR at 127.0.0.1."})
        EXPECT_EQ(service.CountLog(line), 1) << line << "\n" << service.Log();

    // Bob worked with the removed camera: told it is free, its link closed,
    // its Pelco number unknown.
    EXPECT_EQ(bob->Read(Lapsed.size()), Lapsed);
    EXPECT_TRUE(WaitUntil([&] { return cameraB->Output().find(" closed\n") != std::string::npos; }))
        << cameraB->Output();
    ASSERT_TRUE(SendMessage(*bob, NumberedFrame(2, 2)));
    EXPECT_TRUE(service.WaitForLog("Unknown Pelco camera ID 2")) << service.Log();
    EXPECT_EQ(cameraB->Numbers(), std::vector<unsigned>{1});

    // The NVR: the old session closed, the new password logged in, the
    // added camera's soft trigger made, which hands it to a choosing operator.
    EXPECT_TRUE(service.WaitForLog("TLAPI_Login succeeded on NVR 127.0.0.1 for user 'op'", 2))
        << service.Log();
    std::string dump;
    EXPECT_TRUE(WaitUntil([&] {
        dump = nvr.Dump();
        return dump.find("guid=KORVEL_7") != std::string::npos &&
               Occurrences(dump, "\nsession ") == 1 && Occurrences(dump, "loggedin=yes") == 1;
    })) << dump;
    ASSERT_TRUE(SendMessage(*bob, "CHOOSE"));
    const std::string side = "0CAMERA\t127.0.0.22\t3\tSide";
    EXPECT_EQ(FireUntilHandedOver(nvr, *bob, {"KORVEL_7"}, side), side);
    ASSERT_TRUE(SendMessage(*bob, NumberedFrame(3, 3)));
    EXPECT_EQ(bob->Read(YouHaveControl.size()), YouHaveControl);
    EXPECT_TRUE(cameraC->WaitForNumber(3));

    // Camera A was untouched: same connection, Ann still holds it, so the
    // new user's command is refused until Ann's next one tells her who has it.
    auto cat = LogIn(service.Port(), "cat", "c");
    ASSERT_TRUE(SendMessage(*cat, NumberedFrame(1, 4)));
    EXPECT_EQ(cat->Read(front.size()), front);
    ASSERT_TRUE(SendMessage(*ann, NumberedFrame(1, 5)));
    EXPECT_EQ(ann->Read(YouHaveControl.size()), YouHaveControl);
    const std::string annHasControl = "#F00000 ann has control";
    EXPECT_EQ(cat->Read(annHasControl.size()), annHasControl);
    EXPECT_TRUE(cameraA->WaitForNumber(5));
    EXPECT_EQ(cameraA->Numbers(), (std::vector<unsigned>{1, 5}));
    EXPECT_EQ(cameraA->Connections(), 1);
    EXPECT_EQ(Drain(*ann), "") << "Ann heard nothing of the reload";

    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
    const std::string audit = ReadFile(service.Directory() + "audit.log");
    EXPECT_NE(audit.find(R"("event":"reload","result":"applied","summary":"Reloaded tlKorvel.xml: 1 user added)"),
              std::string::npos)
        << audit;
}

// A file that would stop the service at start is refused whole: its lines,
// the refusal, and the operators and cameras go on as they were. A user
// whose password changed, then one removed, loses its session and its hold.
// The operator port moves only where a listener can be opened.
TEST(ConfigurationReload, RefusedFilesRevokedUsersAndAMovedOperatorPort)
{
    auto camera = Camsim::Tcp(0, "127.0.0.20");
    ServiceSetup setup;
    setup.lockTimeSecs = 60;
    setup.users = {Ann, Bob};
    setup.cameras = {CameraElement("127.0.0.20", *camera, 1)};
    ServiceProcess service(setup);
    const std::string path = service.Directory() + "tlKorvel.xml";
    auto ann = LogIn(service.Port(), "ann", "a");
    auto bob = LogIn(service.Port(), "bob", "b");
    ASSERT_TRUE(SendMessage(*ann, NumberedFrame(1, 1)));
    ASSERT_TRUE(camera->WaitForNumber(1));
    ASSERT_TRUE(SendMessage(*bob, NumberedFrame(1, 2)));
    const std::string cameraMessage = "1CAMERA\t127.0.0.20\t1";
    ASSERT_EQ(bob->Read(cameraMessage.size()), cameraMessage) << "refused, and watching";

    const std::string refused = "Reload of tlKorvel.xml refused; keeping the running configuration.";
    const auto refusedBecause = [](const std::string& why) {
        return "Reload of tlKorvel.xml refused; " + why + "; keeping the running configuration.";
    };
    const auto replace = [&](const std::function<void()>& make) {
        std::remove(path.c_str());
        make();
    };
    const struct
    {
        const char* name;
        std::function<void()> write;
        std::string line; // the loader's, before the refusal
        std::string refusal;
    } files[] = {
        {"missing", [&] { std::remove(path.c_str()); },
         "Exiting due to missing, incorrect, or incomplete tlKorvel.xml configuration file.",
         refused},
        {"not well-formed", [&] { WriteFile(path, "<tlKorvel><Options></tlKorvel>"); },
         "Exiting due to missing, incorrect, or incomplete tlKorvel.xml configuration file.",
         refused},
        {"another root", [&] { WriteFile(path, "<Korvel/>"); },
         "No tlKorvel section found in tlKorvel.xml config file.  Exiting.", refused},
        {"a repeated PelcoNumber and no users",
         [&] {
             ServiceSetup bad = setup;
             bad.users.clear();
             bad.cameras.push_back(R"(<Camera Address="127.0.0.30" PelcoNumber="1" />)");
             WriteFile(path, bad.Xml());
         },
         "*** Error: Configuration has multiple entries with PelcoNumber=1", refused},
        // Never opened: reading them would block for ever, or fill the memory.
        {"a FIFO nobody writes", [&] { replace([&] { ::mkfifo(path.c_str(), 0600); }); },
         "Not reading " + path + ": it is not a regular file",
         refusedBecause("it is not a regular file")},
        {"a link to /dev/zero", [&] { replace([&] { ::symlink("/dev/zero", path.c_str()); }); },
         "Not reading " + path + ": it is not a regular file",
         refusedBecause("it is not a regular file")},
    };
    int count = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file.name);
        file.write();
        ASSERT_EQ(::kill(service.Pid(), SIGHUP), 0);
        ASSERT_TRUE(service.WaitForLog("Reload of tlKorvel.xml refused", ++count)) << service.Log();
        const std::string log = service.Log();
        const std::size_t reading = log.rfind("Reading config file");
        EXPECT_NE(log.find(file.line + "\n", reading), std::string::npos) << log;
        EXPECT_NE(log.find(file.refusal + "\n", reading), std::string::npos) << log;
    }
    std::remove(path.c_str());
    const std::string annHasControl = "#F00000 ann has control";
    ASSERT_TRUE(SendMessage(*ann, NumberedFrame(1, 3)));
    EXPECT_TRUE(camera->WaitForNumber(3));
    EXPECT_EQ(bob->Read(annHasControl.size()), annHasControl) << "Ann's hold and Bob stayed";
    EXPECT_EQ(service.CountLog("Reloaded tlKorvel.xml"), 0);

    // Ann's password changes: her session ends and the camera is free at
    // once; Bob, who works with it, is told so and takes it.
    setup.users = {R"(<User Name="ann" Password="a2" Priority="5" />)", Bob};
    const std::string nothingCounted =
        "Reloaded tlKorvel.xml: 0 users added, 0 users removed, 0 cameras added, 0 cameras "
        "removed, 0 cameras changed, 0 NVRs changed.";
    Reload(service, setup, nothingCounted);
    EXPECT_EQ(service.CountLog("Password of user ann changed; ending its sessions"), 1);
    EXPECT_EQ(service.CountLog("Lost session with KorvelControl user ann at 127.0.0.1"), 1);
    EXPECT_TRUE(ann->WaitClosed());
    EXPECT_EQ(bob->Read(Lapsed.size()), Lapsed);
    ASSERT_TRUE(SendMessage(*bob, NumberedFrame(1, 4)));
    EXPECT_EQ(bob->Read(YouHaveControl.size()), YouHaveControl);
    EXPECT_TRUE(camera->WaitForNumber(4));

    // Bob removed: the same; Ann logs in with her new password.
    setup.users = {R"(<User Name="ann" Password="a2" Priority="5" />)"};
    Reload(service, setup,
           "Reloaded tlKorvel.xml: 0 users added, 1 user removed, 0 cameras added, 0 cameras "
           "removed, 0 cameras changed, 0 NVRs changed.");
    EXPECT_TRUE(bob->WaitClosed());
    EXPECT_THROW(LogIn(service.Port(), "ann", "a"), std::runtime_error);
    auto again = LogIn(service.Port(), "ann", "a2");
    ASSERT_TRUE(SendMessage(*again, NumberedFrame(1, 5)));
    EXPECT_EQ(again->Read(cameraMessage.size() + YouHaveControl.size()),
              cameraMessage + YouHaveControl)
        << "Bob's hold went with him";
    EXPECT_TRUE(camera->WaitForNumber(5));

    // The operator port moves (to every interface, a port of the system's
    // choice): the new listener first, the old one closed, the sessions kept.
    // An address that is none leaves it where it is.
    const auto reloadWith = [&](const std::string& clientAddress, const std::string& summary) {
        std::string xml = setup.Xml();
        const std::string configured = R"(ClientAddress="127.0.0.1")";
        xml.replace(xml.find(configured), configured.size(), clientAddress);
        WriteFile(path, xml);
        const int before = service.CountLog(summary);
        ASSERT_EQ(::kill(service.Pid(), SIGHUP), 0);
        ASSERT_TRUE(service.WaitForLog(summary, before + 1)) << service.Log();
    };
    reloadWith(R"(ClientAddress="0.0.0.0")", nothingCounted);
    const std::string log = service.Log();
    std::smatch moved;
    ASSERT_TRUE(std::regex_search(
        log, moved,
        std::regex("Listening for KorvelControl sessions on 0\\.0\\.0\\.0:([0-9]+) instead of "
                   "127\\.0\\.0\\.1:" +
                   std::to_string(service.Port()) + "\n")))
        << log;
    const auto movedPort = static_cast<std::uint16_t>(std::stoul(moved[1]));
    EXPECT_THROW(OperatorClient{service.Port()}, std::runtime_error) << "the old port is closed";
    auto elsewhere = LogIn(movedPort, "ann", "a2");
    // The summary says so: a partial reload.
    const std::string kept =
        "; still listening for KorvelControl sessions on 0.0.0.0:" + std::to_string(movedPort) +
        " instead of no-address:0.";
    reloadWith(R"(ClientAddress="no-address")",
               nothingCounted.substr(0, nothingCounted.size() - 1) + kept);
    EXPECT_EQ(service.CountLog("Cannot listen for KorvelControl sessions on no-address:0: "
                               "Invalid argument; still listening on 0.0.0.0:" +
                               std::to_string(movedPort)),
              1)
        << service.Log();
    EXPECT_NO_THROW(LogIn(movedPort, "ann", "a2"));
    ASSERT_TRUE(SendMessage(*again, NumberedFrame(1, 6)));
    EXPECT_TRUE(camera->WaitForNumber(6)) << "a session of the first listener steers on";
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

// Reloads that each name another AuditFile: every replaced trail writes what
// it had, lets its file go and ends, so that threads and descriptors stay
// as they were however many reloads there are; each record is whole, in the
// file of the trail it went to.
TEST(ConfigurationReload, ReplacedAuditTrailsLeaveNoThreadOrFileBehind)
{
    ServiceSetup setup;
    setup.control = R"(AuditFile="audit-0.log")";
    ServiceProcess service(setup);
    const auto threads = [&] {
        const std::filesystem::path tasks = "/proc/" + std::to_string(service.Pid()) + "/task";
        return std::distance(std::filesystem::directory_iterator(tasks),
                             std::filesystem::directory_iterator());
    };
    const std::string summary = "Reloaded tlKorvel.xml: 0 users added";
    const int reloads = 100;
    std::ptrdiff_t baselineThreads = 0;
    Footprint baseline;
    for (int reload = 1; reload <= reloads; ++reload) {
        setup.control = "AuditFile=\"audit-" + std::to_string(reload % 2) + ".log\"";
        Reload(service, setup, summary, reload);
        if (reload == 1) {
            // The new trail's file is open, the replaced one's closed.
            baseline = service.Settled();
            baselineThreads = threads();
        }
    }
    EXPECT_TRUE(WaitUntil([&] {
        return threads() == baselineThreads && service.Now().descriptors == baseline.descriptors;
    })) << threads() << " threads and " << service.Now().descriptors
        << " descriptors, against " << baselineThreads << " and " << baseline.descriptors
        << " after the first reload";
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();

    std::size_t records = 0;
    for (const char* name : {"audit-0.log", "audit-1.log"}) {
        std::istringstream trail(ReadFile(service.Directory() + name));
        for (std::string line; std::getline(trail, line); ++records) {
            EXPECT_TRUE(line.rfind(R"({"time":")", 0) == 0 && line.back() == '}' &&
                        line.find(R"("event":"reload","result":"applied")") != std::string::npos)
                << name << ": " << line;
        }
    }
    EXPECT_EQ(records, static_cast<std::size_t>(reloads)) << "one reload record each";
}

} // namespace korvel::reload_process_test
