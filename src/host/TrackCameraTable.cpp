#include "host/TrackCameraTable.h"

#include "camera/TrackCamera.h"
#include "log/LogFile.h"

#include <memory>

namespace korvel {

namespace {

void WriteLines(const std::vector<std::string>& lines, std::size_t& written, std::size_t end)
{
    for (; written < end && written < lines.size(); ++written)
        LogFile.BeginLine() << lines[written] << std::endl;
}

} // namespace

TrackCameras BuildTrackCameras(boost::asio::io_context& io, TimeSource& time,
                               const LoadedConfiguration& loaded)
{
    const Configuration& configuration = loaded.configuration;
    const int retryIntervalSecs = configuration.options.retryIntervalSecs;
    const int lockTimeSecs = static_cast<int>(configuration.control.lockTimeSecs);

    TrackCameras built;
    std::size_t written = 0;
    for (const ConfiguredCamera& configured : configuration.cameras) {
        WriteLines(loaded.lines, written, configured.linesBefore);
        auto camera = std::make_unique<TrackCamera>(io, time, configured.settings,
                                                    retryIntervalSecs, lockTimeSecs);
        if (!camera->StartFailure().empty())
            return {{}, camera->StartFailure()};
        if (configured.filed)
            built.cameras.emplace(configured.settings.address, std::move(camera));
        else
            camera->Stop();
    }
    WriteLines(loaded.lines, written, loaded.lines.size());
    return built;
}

} // namespace korvel
