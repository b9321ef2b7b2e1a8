#include "config/Configuration.h"

#include "config/Settings.h"
#include "log/LogFile.h"

std::string ClientAddress = "127.0.0.1";
std::uint32_t ClientPort = 55272;

// Placeholder until the configuration loader lands.
int LoadConfiguration(boost::asio::io_context&, NvrTable&, CameraTable&, UserTable&,
                      const std::string& directory)
{
    LogFile.BeginLine() << "Reading config file " << directory << "tlKorvel.xml" << std::endl;
    return 0;
}
