// The configuration loader on whatever tlKorvel.xml holds. Rules: no crash
// and no exception; the value holds only usable entries, a serial line only
// settings a line takes; every camera is placed among the lines the run
// writes, in order. A reload of the same file changes nothing, and one from
// an empty file adds every user, camera and NVR the file has, each once.
//
// Input: the whole file. The loader does no I/O: no host is resolved and no
// device is opened, whatever the file names.
#include "Check.h"

#include "config/Configuration.h"
#include "config/ConfigurationChanges.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace korvel {

namespace {

const char* const Path = "/etc/tlkorvel/tlKorvel.xml";
const char* const FirstLine = "Reading config file /etc/tlkorvel/tlKorvel.xml";

void CheckValue(const LoadedConfiguration& loaded)
{
    FUZZ_CHECK(!loaded.lines.empty() &&
               loaded.lines.front() == FirstLine);
    const Configuration& configuration = loaded.configuration;
    for (const auto& entry : configuration.nvrs)
        FUZZ_CHECK(entry.first == entry.second.address && !entry.second.login.empty());
    for (const auto& entry : configuration.control.users)
        FUZZ_CHECK(!entry.first.empty() && entry.first == entry.second.name);
    FUZZ_CHECK(configuration.sessionPolicy.maxSessions != 0);

    std::set<std::string> filed;
    std::size_t previous = 0;
    for (const ConfiguredCamera& camera : configuration.cameras) {
        FUZZ_CHECK(!camera.settings.address.empty());
        FUZZ_CHECK(camera.linesBefore >= previous && camera.linesBefore <= loaded.lines.size());
        previous = camera.linesBefore;
        FUZZ_CHECK(filed.insert(camera.settings.address).second == camera.filed);
        const SerialSettings& line = camera.settings.serial;
        FUZZ_CHECK(line.dataBits >= 5 && line.dataBits <= 8);
    }
}

void CheckChanges(const Configuration& configuration)
{
    const ConfigurationChanges same = CompareConfigurations(configuration, configuration);
    FUZZ_CHECK(same.refusal.empty() && same.settings.empty() && same.users.empty() &&
               same.cameras.empty() && same.nvrs.empty() && !same.clientListener &&
               !same.statusServer && !same.auditTrail && !same.cameraAddresses);

    const ConfigurationChanges all = CompareConfigurations(Configuration(), configuration);
    if (!all.refusal.empty())
        return;
    FUZZ_CHECK(all.Count(ConfigurationChanges::User::Kind::Added) ==
               configuration.control.users.size());
    FUZZ_CHECK(all.nvrs.size() == configuration.nvrs.size());
    std::set<std::string> added;
    for (const auto& camera : all.cameras)
        FUZZ_CHECK(camera.kind == ConfigurationChanges::Camera::Kind::Added &&
                   added.insert(camera.settings.address).second);
    std::size_t filed = 0;
    for (const ConfiguredCamera& camera : configuration.cameras)
        filed += camera.filed ? 1 : 0;
    FUZZ_CHECK(added.size() == filed);
}

} // namespace

int FuzzOne(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const LoadedConfiguration loaded = LoadConfiguration(Path, text);
    CheckValue(loaded);
    CheckChanges(loaded.configuration);
    return 0;
}

} // namespace korvel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return korvel::FuzzOne(data, size);
}
