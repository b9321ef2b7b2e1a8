// Build step of the package: writes its systemd units from the same templates
// and code that tlKorvel -install uses, for the installed executable and the
// package's own account.
//
// usage: write_package_units FOLDER PROGRAM ACCOUNT DESCRIPTION SERVICE_NAME DISPLAY_NAME
#include "platform/linux/SystemdUnits.h"

#include <iostream>
#include <optional>
#include <system_error>

int main(int argc, char** argv)
{
    if (argc != 7) {
        std::cerr << "usage: write_package_units FOLDER PROGRAM ACCOUNT DESCRIPTION SERVICE_NAME "
                     "DISPLAY_NAME\n";
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";
    const std::string serviceName = argv[5];

    korvel::ServiceUnitSettings settings;
    settings.program = argv[2];
    settings.account = argv[3];
    settings.description = argv[4];
    settings.restartOnFailure = true;
    const std::optional<std::string> serviceText = korvel::ServiceUnitText(settings);
    if (!serviceText) {
        std::cerr << "write_package_units: systemd cannot run " << settings.program << "\n";
        return 1;
    }
    const struct
    {
        std::string path;
        std::string text;
    } units[] = {
        {folder + serviceName + ".service", *serviceText},
        {folder + serviceName + ".timer", korvel::TimerUnitText(serviceName, argv[6])},
    };
    for (const auto& unit : units) {
        if (const std::error_code error = korvel::WriteUnitFile(unit.path, unit.text)) {
            std::cerr << "write_package_units: " << unit.path << ": " << error.message() << "\n";
            return 1;
        }
    }
    return 0;
}
