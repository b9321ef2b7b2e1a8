#pragma once

#include "ops/WholeLines.h"
#include "platform/AppendFile.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>

namespace korvel {

// The audit trail's file: appends whole lines and keeps the file where it
// is configured, on one thread (the audit writer; the tests' own).
//
// - Only a regular file is opened. Anything else at the path (a FIFO, a
//   device, a folder) is logged once and the trail stays off until the
//   service restarts: writing there could block for ever or reach a
//   terminal.
// - At most once a second (CheckInterval), and before each rotation, it
//   looks whether the path still names the open file; whether the file was
//   deleted it looks before every line. A file deleted or renamed (as
//   logrotate does) is closed, and the line goes to a new file at the
//   configured name; until then lines go to the renamed file.
// - Before a line would take the file past rotateBytes, the file becomes
//   PATH.1, PATH.1 becomes PATH.2 and so on up to `generations`; the oldest
//   goes. A rotation that fails is logged once (until one succeeds), the
//   lines go on into the unrotated file, and it is tried again a second
//   later.
// - A failure to open or write is logged once until a line is written
//   again; that line is lost and the next one tries again.
// - The file holds whole lines only (WholeLines): a line that could not be
//   written whole (a full disk) is cut off again, and should that fail, the
//   cut is tried again before the next line, which otherwise starts on a
//   line of its own.
//
// Time is passed in, so that the tests run it on simulated time.
class AuditFile
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds CheckInterval{1};

    AuditFile(std::string path, std::uint64_t rotateBytes, int generations);

    // One line as it stands (ending in a line feed); true when it is in the
    // file.
    bool Write(const std::string& line, Clock::time_point now);

    // Not a regular file: nothing is written until the service restarts.
    bool Off() const { return off; }
    const std::string& Path() const { return path; }

private:
    bool Open(Clock::time_point now);
    bool Rotate();
    // Carries out a cut WholeLines asks for.
    void CutBack(std::optional<std::uint64_t> size);
    void ReportFailure(const char* what, const std::error_code& error);

    std::string path;
    std::uint64_t rotateBytes;
    int generations;
    AppendFile file;
    WholeLines wholeLines;
    bool off = false;
    Clock::time_point nextCheck;
    Clock::time_point nextRotation;
    bool failureReported = false;
    bool rotationFailureReported = false;
};

} // namespace korvel
