#include "ops/AuditFile.h"

#include "log/LogFile.h"

#include <filesystem>
#include <utility>

namespace korvel {

AuditFile::AuditFile(std::string path, std::uint64_t rotateBytes, int generations)
    : path(std::move(path)), rotateBytes(rotateBytes), generations(generations)
{}

bool AuditFile::Write(const std::string& line, Clock::time_point now)
{
    if (off)
        return false;
    const auto rotationDue = [&] {
        return file.Size() > 0 && file.Size() + line.size() > rotateBytes && now >= nextRotation;
    };
    if (file.IsOpen()) {
        // Before a rotation too: a file that is no longer at the path is not
        // ours to rename. A deleted file would lose every line, so that is
        // looked at each time.
        const bool look = now >= nextCheck || rotationDue();
        if (look)
            nextCheck = now + CheckInterval;
        if (file.Deleted() || (look && !file.NamesOpenFile(path))) {
            LogFile.BeginLine() << "The audit file " << path
                                << " was moved or deleted; writing on in a new one" << std::endl;
            file.Close();
        }
    }
    if (!file.IsOpen() && !Open(now))
        return false;
    // Before a rotation, so that the file rotated holds whole lines.
    CutBack(wholeLines.CutBefore());
    if (rotationDue()) {
        if (!Rotate())
            nextRotation = now + CheckInterval;
        // The new file, or the unrotated one again.
        if (!Open(now))
            return false;
    }
    const std::uint64_t start = file.Size();
    std::error_code error;
    if (wholeLines.LineFeedFirst())
        error = file.Write("\n");
    if (!error)
        error = file.Write(line);
    CutBack(wholeLines.Written(start, file.Size(), !error));
    if (error) {
        ReportFailure("Cannot write the audit file ", error);
        // Start again from the file as it is on disk.
        file.Close();
        return false;
    }
    failureReported = false;
    return true;
}

void AuditFile::CutBack(std::optional<std::uint64_t> size)
{
    if (size)
        wholeLines.Cut(!file.CutTo(*size));
}

bool AuditFile::Open(Clock::time_point now)
{
    std::error_code error;
    switch (file.Open(path, error)) {
    case AppendFile::OpenResult::Opened:
        nextCheck = now + CheckInterval;
        wholeLines.Opened({file.Id().device, file.Id().index}, file.Size());
        return true;
    case AppendFile::OpenResult::NotRegular:
        off = true;
        LogFile.BeginLine() << "The audit file " << path
                            << " is not a regular file; the audit trail is off until the service "
                               "restarts"
                            << std::endl;
        return false;
    case AppendFile::OpenResult::Failed:
        break;
    }
    ReportFailure("Cannot open the audit file ", error);
    return false;
}

bool AuditFile::Rotate()
{
    file.Close();
    std::error_code error;
    const auto generation = [this](int n) { return path + "." + std::to_string(n); };
    std::filesystem::remove(generation(generations), error);
    for (int n = generations - 1; n >= 1 && !error; --n) {
        if (std::filesystem::exists(generation(n), error))
            std::filesystem::rename(generation(n), generation(n + 1), error);
    }
    if (!error)
        std::filesystem::rename(path, generation(1), error);
    if (error) {
        if (!rotationFailureReported) {
            rotationFailureReported = true;
            LogFile.BeginLine() << "Cannot rotate the audit file " << path << ": "
                                << error.message() << std::endl;
        }
        return false;
    }
    rotationFailureReported = false;
    return true;
}

void AuditFile::ReportFailure(const char* what, const std::error_code& error)
{
    if (failureReported)
        return;
    failureReported = true;
    LogFile.BeginLine() << what << path << ": " << error.message() << std::endl;
}

} // namespace korvel
