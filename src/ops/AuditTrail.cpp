#include "ops/AuditTrail.h"

#include "log/LogFile.h"

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

namespace korvel {

AuditTrail::AuditTrail(std::string path, std::uint64_t rotateBytes, int generations)
    : path(std::move(path)), rotateBytes(rotateBytes), generations(generations)
{}

AuditTrail::~AuditTrail()
{
    Close();
}

void AuditTrail::Write(const AuditRecord& record, std::chrono::system_clock::time_point when)
{
    WriteLine(FormatAuditLine(record, when));
}

void AuditTrail::WriteLine(const std::string& line)
{
    if (!file && !Open())
        return;
    if (size > 0 && size + line.size() > rotateBytes && (!Rotate() || !Open()))
        return;
    const std::size_t written = std::fwrite(line.data(), 1, line.size(), file);
    if (written != line.size() || std::fflush(file) != 0) {
        const int error = errno;
        ReportFailure("Cannot write the audit file ", error);
        // Start again from the file as it is on disk: part of the line may be there.
        Close();
        return;
    }
    size += line.size();
    failureReported = false;
}

bool AuditTrail::Open()
{
    file = std::fopen(path.c_str(), "ab");
    if (!file) {
        ReportFailure("Cannot open the audit file ", errno);
        return false;
    }
    std::error_code error;
    const auto existing = std::filesystem::file_size(path, error);
    size = error ? 0 : existing;
    return true;
}

void AuditTrail::Close()
{
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
}

bool AuditTrail::Rotate()
{
    Close();
    std::error_code error;
    const auto generation = [this](int n) { return path + "." + std::to_string(n); };
    std::filesystem::remove(generation(generations), error);
    for (int n = generations - 1; n >= 1 && !error; --n) {
        if (std::filesystem::exists(generation(n)))
            std::filesystem::rename(generation(n), generation(n + 1), error);
    }
    if (!error)
        std::filesystem::rename(path, generation(1), error);
    if (error) {
        ReportFailure("Cannot rotate the audit file ", error.value());
        return false;
    }
    return true;
}

void AuditTrail::ReportFailure(const std::string& what, int error)
{
    if (failureReported)
        return;
    failureReported = true;
    LogFile.BeginLine() << what << path << ": " << std::system_category().message(error)
                        << std::endl;
}

} // namespace korvel
