// The running service's audit trail when its file meets a fault: deleted or
// renamed (as logrotate does), a FIFO in its place, its folder read-only
// when a rotation is due. Operators keep being answered throughout, and
// every record that could be written is found in a file.
#include "Operators.h"
#include "ServiceProcess.h"
#include "ServiceViews.h"

#include "support/ReadOnlyFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::audit_fault_test {

namespace {

using namespace service_views;

// Names this long make records of about 1 KB, so that a rotation comes
// within some ten thousand logins.
const std::string LongName(900, 'w');

struct Trail
{
    std::string folder;
    std::string path;
    int heldOpen = -1; // a reader's descriptor of the file as it was
};

std::string ReadHeld(int fd)
{
    std::string text;
    char buffer[65536];
    for (ssize_t got; (got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

// The file's text; nothing of anything else (opening a FIFO would wait).
std::string ReadRegular(const std::string& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) ? ReadFile(path) : std::string();
}

std::uint64_t FileSize(const std::string& path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

} // namespace

TEST(AuditFileFaults, OperatorsAreServedAndNoRecordThatCouldBeWrittenIsLost)
{
    using Undo = std::shared_ptr<ReadOnlyFolder>;
    const struct
    {
        const char* what;
        std::function<void(Trail&)> before; // before the service starts
        std::function<Undo(Trail&)> fault;  // after the first records
        // Whether enough has happened since the fault; logins go on until then.
        std::function<bool(const Trail&)> enough;
        // The files that hold the records in the end.
        std::vector<std::string> files;
        const char* logged; // once
    } cases[] = {
        {"deleted", {},
         [](Trail& trail) {
             trail.heldOpen = ::open(trail.path.c_str(), O_RDONLY | O_CLOEXEC);
             ::unlink(trail.path.c_str());
             return Undo();
         },
         [](const Trail& trail) { return FileSize(trail.path) > 0; }, {"held", "audit.log"},
         " was moved or deleted; writing on in a new one"},
        {"renamed", {},
         [](Trail& trail) {
             ::rename(trail.path.c_str(), (trail.path + ".1").c_str());
             return Undo();
         },
         [](const Trail& trail) { return FileSize(trail.path) > 0; }, {"audit.log.1", "audit.log"},
         " was moved or deleted; writing on in a new one"},
        {"a FIFO", [](Trail& trail) { ::mkfifo(trail.path.c_str(), 0600); }, {},
         [](const Trail&) { return true; }, {},
         " is not a regular file; the audit trail is off until the service restarts"},
        // Rotation is due once the file passes 10 MiB; it succeeds once the
        // folder can be written again.
        {"a read-only folder at rotation", {},
         [](Trail& trail) { return std::make_shared<ReadOnlyFolder>(trail.folder); },
         [](const Trail& trail) { return FileSize(trail.path) > 10 * 1024 * 1024 + 4096; },
         {"audit.log.1", "audit.log"}, "Cannot rotate the audit file "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Trail trail{dir.File("trail"), dir.File("trail/audit.log")};
        std::filesystem::create_directory(trail.folder);
        if (c.before)
            c.before(trail);
        ServiceSetup setup;
        setup.users = {R"(<User Name=")" + LongName + R"(" Password="pw" Priority="2" />)"};
        setup.control = "AuditFile=\"" + trail.path + "\"";
        setup.options = StatusServerOptions();
        ServiceProcess service(setup);
        const std::uint16_t statusPort = StatusServerPort(service);
        ASSERT_NE(statusPort, 0);

        OperatorClient client(service.Port());
        client.ReadGreeting();
        int logins = 0;
        const auto logIn = [&] {
            client.Send("LOGIN " + LongName + " pw");
            ++logins;
            return client.Read(2) == "OK";
        };
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(logIn());
        const int writable = c.before ? 0 : 1; // a FIFO takes no record
        ASSERT_TRUE(WaitUntil(
            [&] { return AuditRecords(ReadRegular(trail.path), "login") == 5 * writable; }));

        Undo undo = c.fault ? c.fault(trail) : Undo();
        if (undo && !undo->Holds())
            GTEST_SKIP() << "this file system lets root write in a read-only folder";
        while (logins < 20000 && !c.enough(trail))
            ASSERT_TRUE(logIn()) << "login " << logins;
        // A login line is about 1 KB, so the log rotates as it goes: the
        // line sought is among the last.
        const std::string log = ReadFile(service.Directory() + "tlKorvel.log.old") + service.Log();
        std::size_t mentions = 0;
        for (auto at = log.find(c.logged); at != std::string::npos; at = log.find(c.logged, at + 1))
            ++mentions;
        EXPECT_EQ(mentions, 1u);
        if (undo) {
            undo.reset();
            while (logins < 25000 && FileSize(trail.path + ".1") == 0)
                ASSERT_TRUE(logIn()) << "login " << logins;
        }

        const auto found = [&] {
            int records = 0;
            for (const std::string& file : c.files) {
                records += AuditRecords(file == "held" ? ReadHeld(trail.heldOpen)
                                                       : ReadRegular(dir.File("trail/" + file)),
                                        "login");
            }
            return records;
        };
        EXPECT_TRUE(WaitUntil([&] { return found() == logins * writable; }))
            << found() << " records of " << logins << " logins";
        const std::string metrics = StatusServerGet(statusPort, "/metrics");
        EXPECT_NE(metrics.find("tlkorvel_audit_records_total{result=\"" +
                               std::string(writable ? "written" : "failed") + "\"} " +
                               std::to_string(logins) + "\n"),
                  std::string::npos)
            << metrics;
        EXPECT_NE(metrics.find("tlkorvel_audit_records_total{result=\"dropped\"} 0\n"),
                  std::string::npos);
        EXPECT_TRUE(service.Stop()) << service.Stderr();
        if (trail.heldOpen >= 0)
            ::close(trail.heldOpen);
    }
}

} // namespace korvel::audit_fault_test
