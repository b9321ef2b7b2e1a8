#include "support/ConsoleTexts.h"

#include "support/TempDir.h"

#include <sstream>

namespace korvel {

const std::string MustRunLine =
    "Must be run with command line options or installed as a service\n\n";

const std::string UsageBlock =
    "Service management options:\n"
    "  -install    to install the service.\n"
    "  -uninstall  to remove the service.\n"
    "To start or stop tlKorvel after it has been installed as a service use\n"
    "    net start tlKorvel\n"
    "or\n"
    "    net stop tlkorvel\n\n"
    "\nUse -d to run in command line mode\n";

const std::string NotStartedHint =
    "This application is designed to be run as a Windows service.\n"
    "It cannot be run from the command line.\n\n"
    "To install as a service, run using the command line option  /install\n"
    "then start it from the Windows Services panel.\n"
    "The service name to look for is 'tlKorvel'.\n"
    "You may also start the installed service from a command prompt with the command\n"
    "    sc start tlKorvel\n";

std::vector<std::string> Lines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> LogMessages(const std::string& logText)
{
    std::vector<std::string> messages;
    std::istringstream in(logText);
    for (std::string line; std::getline(in, line);) {
        const std::string::size_type end = line.find(" ] ");
        messages.push_back(end == std::string::npos ? line : line.substr(end + 3));
    }
    return messages;
}

std::size_t Occurrences(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

} // namespace korvel
