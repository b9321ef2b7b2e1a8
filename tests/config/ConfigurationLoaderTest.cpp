// The loader alone: a file's text in, the configuration and the lines to log
// out, with each camera's place among those lines; and the value syntaxes
// it reads attributes with.
#include "config/AttributeSyntax.h"
#include "config/Configuration.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace korvel::configuration_loader_test {

namespace {

using StopBits = SerialSettings::StopBits;
using Parity = SerialSettings::Parity;

// A serial line's settings as "9600 8N1", then what the set-up will say.
std::string DescribeLine(const SerialSettings& line)
{
    const char parity = line.parity == Parity::None ? 'N' : line.parity == Parity::Even ? 'E' : 'O';
    std::string text = std::to_string(line.baudRate) + " " + std::to_string(line.dataBits) +
                       parity + (line.stopBits == StopBits::One ? "1" : "2");
    for (const std::string* said :
         {&line.dataBitsFailure, &line.stopBitsNotice, &line.parityNotice})
        text += said->empty() ? "" : " | " + *said;
    return text;
}

// The load as text: its lines, with a line "camera ..." where the run
// builds each camera, then the NVRs and whether the run may go on.
std::vector<std::string> Describe(const LoadedConfiguration& loaded)
{
    std::vector<std::string> description;
    auto camera = loaded.configuration.cameras.begin();
    const auto cameras = loaded.configuration.cameras.end();
    for (std::size_t line = 0; line <= loaded.lines.size(); ++line) {
        for (; camera != cameras && camera->linesBefore == line; ++camera) {
            const CameraSettings& settings = camera->settings;
            std::string text = "camera " + settings.address + " port " + settings.port + " pelco " +
                               std::to_string(settings.pelcoNumber);
            if (!settings.IsNetworkCamera())
                text += " serial " + DescribeLine(settings.serial);
            if (settings.maxCommandAgeMs != CameraSettings().maxCommandAgeMs)
                text += " age " + std::to_string(settings.maxCommandAgeMs) + " ms";
            if (settings.lineBaudRate != 0)
                text += " line " + std::to_string(settings.lineBaudRate) + " baud";
            description.push_back(text + (camera->filed ? "" : " unfiled"));
        }
        if (line > 0 && line < loaded.lines.size())
            description.push_back(loaded.lines[line]);
    }
    for (const auto& [address, nvr] : loaded.configuration.nvrs)
        description.push_back("nvr " + address + ":" + std::to_string(nvr.port) + " " + nvr.login);
    if (!loaded.usable)
        description.push_back("unusable");
    return description;
}

const std::string Nvr = R"(<NVR Address="10.1.1.1" Port="1" Login="op" Password="pw">)";
const std::string Loaded = "Loaded config for server at 10.1.1.1";

} // namespace

TEST(ConfigurationLoader, CamerasTakeTheirPlaceAmongTheLines)
{
    const struct
    {
        const char* name;
        std::optional<std::string> text; // none: the file cannot be read
        std::vector<std::string> expected;
    } cases[] = {
        {"no file",
         std::nullopt,
         {"Exiting due to missing, incorrect, or incomplete tlKorvel.xml configuration file.",
          "unusable"}},
        {"a camera without address, then one with the defaults",
         "<tlKorvel>" + Nvr +
             R"(<Camera PelcoNumber="2" /><Camera Address="c1" /></NVR></tlKorvel>)",
         {Loaded,
          "Missing or empty 'Address' attribute for <Camera> entry in tlKorvel.xml file. "
          "Skipping.",
          "camera c1 port 1000 pelco 1", "nvr 10.1.1.1:1 op"}},
        {"a repeated address is built after its line and not filed",
         "<tlKorvel>" + Nvr +
             R"(<Camera Address="c1" Port="7" /><Camera Address="c1" PelcoNumber="2" />)"
             R"(<Camera Address="c3" PelcoNumber="2" /></NVR></tlKorvel>)",
         {Loaded, "camera c1 port 7 pelco 1", "camera c1 port 1000 pelco 2 unfiled",
          "camera c3 port 1000 pelco 2", "nvr 10.1.1.1:1 op"}},
        {"a repeated number is told after the camera that repeats it",
         "<tlKorvel>" + Nvr +
             R"(<Camera Address="c1" PelcoNumber="4" /><Camera Address="c2" PelcoNumber="4" />)"
             R"(</NVR><Camera Address="c9" /></tlKorvel>)",
         {Loaded, "camera c1 port 1000 pelco 4", "camera c2 port 1000 pelco 4",
          "*** Error: Configuration has multiple entries with PelcoNumber=4", "nvr 10.1.1.1:1 op",
          "unusable"}},
        {"serial settings checked, what no line takes left for the set-up to say",
         "<tlKorvel>" + Nvr +
             R"(<Camera Address="s1" Port="/dev/ttyS0" BaudRate=" 9600x" DataBits="9" )"
             R"(Parity="even" StopBits="2" /><Camera Address="n1" Port="1abc" PelcoNumber="2" )"
             R"(Parity="O" /></NVR></tlKorvel>)",
         {Loaded,
          "camera s1 port /dev/ttyS0 pelco 1 serial 9600 8E2 | invalid character_size value",
          "camera n1 port 1abc pelco 2", "nvr 10.1.1.1:1 op"}},
        {"the bound on a command's age; a terminal server's line, for network cameras only",
         "<tlKorvel>" + Nvr +
             R"(<Camera Address="t1" Port="4001" MaxCommandAgeMs="250" LineBaudRate="2400" />)"
             R"(<Camera Address="s2" Port="/dev/ttyS0" PelcoNumber="2" MaxCommandAgeMs="0" )"
             R"(LineBaudRate="9600" /></NVR></tlKorvel>)",
         {Loaded, "camera t1 port 4001 pelco 1 age 250 ms line 2400 baud",
          "camera s2 port /dev/ttyS0 pelco 2 serial 2400 8N1 age 0 ms", "nvr 10.1.1.1:1 op"}},
        {"the first NVR of an address stays; the second's cameras count",
         "<tlKorvel>" + Nvr + "</NVR>" +
             R"(<NVR Address="10.1.1.1" Port="2" Login="other" Password=""><Camera Address="c1" />)"
             R"(</NVR></tlKorvel>)",
         {Loaded, Loaded, "camera c1 port 1000 pelco 1", "nvr 10.1.1.1:1 op"}},
        {"a rejected NVR's cameras are not read",
         R"(<tlKorvel><NVR Address="10.0.0.1" Login="op"><Camera Address="c1" /></NVR></tlKorvel>)",
         {"Port specifier for NVR 10.0.0.1 in tlKorvel.xml file is non-integer or missing.  "
          "Defaulting to 22609.",
          "No 'Password' attribute defined in tlKorvel.xml file for user op on 10.0.0.1. Skipping "
          "this NVR.",
          "NVR element must define both 'User' and 'Password' attributes.",
          "Example:  <NVR Address=\"1.2.3.4\" Port=\"12345\" User=\"myname\" Password=\"zkpw\" "
          "/>"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LoadedConfiguration loaded = LoadConfiguration("/etc/tlKorvel.xml", c.text);
        ASSERT_FALSE(loaded.lines.empty());
        EXPECT_EQ(loaded.lines.front(), "Reading config file /etc/tlKorvel.xml");
        EXPECT_EQ(Describe(loaded), c.expected);
    }
}

TEST(ConfigurationLoader, OptionsAndControlWithoutTheirElementsKeepTheDefaults)
{
    const LoadedConfiguration loaded = LoadConfiguration("x", "<tlKorvel />");
    const Configuration& value = loaded.configuration;
    EXPECT_TRUE(loaded.usable);
    EXPECT_EQ(loaded.lines, std::vector<std::string>{"Reading config file x"});
    EXPECT_EQ(value.options.clientAddress, "127.0.0.1");
    EXPECT_EQ(value.options.clientPort, 55272u);
    EXPECT_EQ(value.options.retryIntervalSecs, 10);
    EXPECT_EQ(value.sessionPolicy.maxSessions, 1000u);
    EXPECT_EQ(value.control.lockTimeSecs, 5u);
    EXPECT_FALSE(value.sessionPolicy.requireLogin);
    EXPECT_TRUE(value.sessionPolicy.throttleLogins);
}

// What a serial line takes, as the loader leaves it for the line's set-up:
// values no line takes are replaced by the defaults, with the words the
// set-up says at their step; none of it goes among the loader's own lines.
TEST(ConfigurationLoader, PasswordHashesAndTheDirectory)
{
    const std::string hash =
        "$y$j9T$sZosq1CrdlQqL0kPHz81j1$6htPX4AwTrf5o9LXMxUoHX5TT5tOKfEU3JjaEU.Q9/7";
    // Users as "name password|hash priority", then the directory.
    auto describe = [](const LoadedConfiguration& loaded) {
        std::vector<std::string> description(loaded.lines.begin() + 1, loaded.lines.end());
        for (const auto& [name, user] : loaded.configuration.control.users)
            description.push_back("user " + name + " " + user.password + "|" +
                                  user.passwordHash.substr(0, 7) + " " +
                                  std::to_string(user.priority));
        const DirectorySettings& directory = loaded.configuration.control.directory;
        if (directory.Enabled())
            description.push_back("directory " + directory.service);
        for (const DirectoryGroup& group : directory.groups)
            description.push_back("group " + group.name + " " + std::to_string(group.priority) +
                                  (group.supervisor ? " supervisor" : ""));
        return description;
    };
    const struct
    {
        const char* name;
        std::string control;
        std::vector<std::string> expected;
    } cases[] = {
        {"a hash in place of the password",
         R"(<User Name="ann" PasswordHash=")" + hash + R"(" Priority="5" />)",
         {"user ann |$y$j9T$ 5"}},
        {"both: one line, the hash wins",
         R"(<User Name="ann" Password="clear" PasswordHash=")" + hash + R"(" Priority="5" />)",
         {"User ann has both Password and PasswordHash in tlKorvel.xml.  Using PasswordHash.",
          "user ann |$y$j9T$ 5"}},
        {"a malformed hash, and one of a kind not read: skipped, a later entry of the name counts",
         R"(<User Name="ann" PasswordHash="$y$j9T$short" Priority="5" />
            <User Name="bob" PasswordHash="$1$//cn2FDr$Kqn8eKtxwIR08c30NYwXr0" />
            <User Name="ann" Password="pw" Priority="1" />)",
         {"Skipping <User> entry ann: its PasswordHash in tlKorvel.xml is not a yescrypt, bcrypt "
          "or SHA-512 hash.",
          "Skipping <User> entry bob: its PasswordHash in tlKorvel.xml is not a yescrypt, bcrypt "
          "or SHA-512 hash.",
          "user ann pw| 1"}},
        {"an empty hash is malformed too",
         R"(<User Name="ann" Password="pw" PasswordHash="" />)",
         {"Skipping <User> entry ann: its PasswordHash in tlKorvel.xml is not a yescrypt, bcrypt "
          "or SHA-512 hash."}},
        {"the directory and its groups",
         R"(<Directory Service="tlkorvel">
              <Group Name="cctv-operators" Priority="3" />
              <Group Name="cctv-supervisors" Priority="9" Supervisor="1" />
              <Group Name="cctv-operators" Priority="7" />
              <Group Priority="2" />
              <Group Name="trainees" Supervisor="yes" />
            </Directory>)",
         {"Skipping <Group> entry due to empty Name value in tlKorvel.xml.",
          "Supervisor yes of <Group> trainees in tlKorvel.xml is not 0 or 1.  Not a supervisor "
          "group.",
          "Directory accounts through service tlkorvel with 3 groups", "directory tlkorvel",
          "group cctv-operators 3", "group cctv-supervisors 9 supervisor", "group trainees 0"}},
        {"a directory without a service is off",
         R"(<Directory><Group Name="cctv" Priority="3" /></Directory>)",
         {"<Directory> in tlKorvel.xml has no Service.  Directory accounts are off."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LoadedConfiguration loaded = LoadConfiguration(
            "x", "<tlKorvel><KorvelControl>" + c.control + "</KorvelControl></tlKorvel>");
        EXPECT_EQ(describe(loaded), c.expected);
    }
}

TEST(ConfigurationLoader, SerialSettingsAreChecked)
{
    const std::string invalidStopBits =
        "Invalid StopBits value for camera at dome:/dev/ttyS1. Defaulting to 1";
    const std::string invalidParity =
        "Invalid Parity value for camera at dome:/dev/ttyS1. Defaulting to N";
    const std::string invalidSize = "invalid character_size value";
    const struct
    {
        const char* attributes;
        std::string line; // DescribeLine
    } cases[] = {
        {"", "2400 8N1"},
        {R"(BaudRate="19200" DataBits="7" StopBits="2" Parity="e")", "19200 7E2"},
        {R"(BaudRate="x" DataBits=" 5 bits" StopBits="1" Parity="Odd")", "2400 5O1"},
        {R"(DataBits="6" StopBits="2x" Parity="none")", "2400 6N2"},
        {R"(StopBits="x" Parity="")", "2400 8N1"},
        {R"(StopBits="0")", "2400 8N1 | " + invalidStopBits},
        {R"(StopBits="3" Parity="M")", "2400 8N1 | " + invalidStopBits + " | " + invalidParity},
        {R"(StopBits="-1" Parity=" E")", "2400 8N1 | " + invalidStopBits + " | " + invalidParity},
        {R"(Parity="mark")", "2400 8N1 | " + invalidParity},
        {R"(DataBits="4")", "2400 8N1 | " + invalidSize},
        {R"(DataBits="9" StopBits="2" Parity="O")", "2400 8O2 | " + invalidSize},
        {R"(DataBits="-8" StopBits="5" Parity="?")",
         "2400 8N1 | " + invalidSize + " | " + invalidStopBits + " | " + invalidParity},
        {R"(DataBits="x")", "2400 8N1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attributes);
        const LoadedConfiguration loaded = LoadConfiguration(
            "x", "<tlKorvel>" + Nvr + R"(<Camera Address="dome" Port="/dev/ttyS1" )" +
                     c.attributes + " /></NVR></tlKorvel>");
        EXPECT_EQ(loaded.lines, (std::vector<std::string>{"Reading config file x", Loaded}));
        ASSERT_EQ(loaded.configuration.cameras.size(), 1u);
        EXPECT_EQ(DescribeLine(loaded.configuration.cameras[0].settings.serial), c.line);
    }
}

// A reload compares the value it reads with the running one.
TEST(ConfigurationLoader, LoadsOfTheSameFileCompareEqual)
{
    const std::string file =
        R"(<tlKorvel><Options MaxSessions="7" /><KorvelControl><User Name="a" /></KorvelControl>)" +
        Nvr + R"(<Camera Address="s" Port="/dev/ttyS1" StopBits="3" /></NVR></tlKorvel>)";
    const LoadedConfiguration first = LoadConfiguration("x", file);
    EXPECT_EQ(first, LoadConfiguration("x", file));
    for (const char* other : {R"(MaxSessions="7")", R"(Port="/dev/ttyS1")", R"(Name="a")"}) {
        std::string changed = file;
        changed.insert(changed.find(other) + std::string(other).size() - 1, "1");
        EXPECT_NE(first.configuration, LoadConfiguration("x", changed).configuration) << changed;
    }
}

// What is read of the path: only a regular file is opened, and nothing of it
// beyond the bound (a FIFO nobody writes, a link to /dev/zero, a file of 16
// MiB and more would otherwise block or fill the memory).
TEST(ConfigurationLoader, OnlyARegularFileWithinTheBoundIsRead)
{
    using Found = ConfigurationText::Found;
    const std::string ten = "<tlKorvel/>"; // 11 bytes
    const struct
    {
        const char* what;
        std::function<void(const std::string& path)> make; // none: nothing there
        std::uintmax_t maxBytes;
        Found found;
        std::string text;
    } cases[] = {
        {"a file", [&](const std::string& path) { WriteFile(path, ten); }, 11, Found::Read, ten},
        {"nothing there", {}, 11, Found::Unreadable, ""},
        {"a file beyond the bound", [&](const std::string& path) { WriteFile(path, ten); }, 10,
         Found::TooLarge, ""},
        {"a link to a file",
         [&](const std::string& path) {
             WriteFile(path + ".real", ten);
             ::symlink((path + ".real").c_str(), path.c_str());
         },
         11, Found::Read, ten},
        {"a FIFO", [](const std::string& path) { ::mkfifo(path.c_str(), 0600); }, 11,
         Found::NotRegular, ""},
        {"a link to /dev/zero",
         [](const std::string& path) { ::symlink("/dev/zero", path.c_str()); }, 11,
         Found::NotRegular, ""},
        {"a folder", [](const std::string& path) { std::filesystem::create_directory(path); }, 11,
         Found::NotRegular, ""},
        {"16 MiB and one byte (sparse, never read)",
         [](const std::string& path) {
             WriteFile(path, "");
             std::filesystem::resize_file(path, MaxConfigurationBytes + 1);
         },
         MaxConfigurationBytes, Found::TooLarge, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.File("tlKorvel.xml");
        if (c.make)
            c.make(path);
        const ConfigurationText read = ReadConfigurationText(path, c.maxBytes);
        EXPECT_EQ(read.found, c.found);
        EXPECT_EQ(read.text, c.text);
    }
}

TEST(AttributeSyntax, DecimalAndStrictIntegerReadings)
{
    const struct
    {
        const char* text;
        bool decimal;
        std::uint32_t unsignedValue;
        bool strict;
        std::int32_t strictValue;
    } cases[] = {
        {"12abc", true, 12, false, 0},
        {" 7s", true, 7, false, 0},
        {"-1", true, 4294967295u, true, -1},
        {"+80", true, 80, true, 80},
        {"22609 ", true, 22609, false, 0},
        {" 22609", true, 22609, false, 0},
        {"0x10", true, 0, false, 0},
        {"abc", false, 0, false, 0},
        {"", false, 0, false, 0},
        {"-", false, 0, false, 0},
        {"2147483648", true, 2147483648u, false, 0},
        {"-2147483648", true, 2147483648u, true, INT32_MIN},
        {nullptr, false, 0, false, 0},
    };
    for (const auto& c : cases) {
        const std::string label = c.text ? c.text : "(missing)";
        const std::optional<std::uint32_t> value = ParseDecimal(c.text);
        EXPECT_EQ(value.has_value(), c.decimal) << label;
        EXPECT_EQ(value.value_or(0), c.unsignedValue) << label;
        const std::optional<std::int32_t> strict = ParseStrictInteger(c.text);
        EXPECT_EQ(strict.has_value(), c.strict) << label;
        EXPECT_EQ(strict.value_or(0), c.strictValue) << label;
    }
}

} // namespace korvel::configuration_loader_test
