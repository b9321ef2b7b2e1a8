#pragma once

#include "ops/AuditRecord.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace korvel {

// The control audit file: one JSON line per record, each written whole and
// flushed at once. Before a line would take the file past rotateBytes, the
// file becomes PATH.1, PATH.1 becomes PATH.2 and so on up to `generations`;
// the oldest goes.
//
// A failure to open, write or rotate is logged once in the log file (again
// only after a write has succeeded in between); the record is lost, the
// service goes on, and the next record tries again.
//
// Threads: one at a time (the I/O loop).
class AuditTrail
{
public:
    static constexpr std::uint64_t RotationBytes = 10 * 1024 * 1024;
    static constexpr int Generations = 5;

    explicit AuditTrail(std::string path, std::uint64_t rotateBytes = RotationBytes,
                        int generations = Generations);
    ~AuditTrail();
    AuditTrail(const AuditTrail&) = delete;
    AuditTrail& operator=(const AuditTrail&) = delete;

    void Write(const AuditRecord& record,
               std::chrono::system_clock::time_point when = std::chrono::system_clock::now());
    // One line as it stands (ending in a line feed).
    void WriteLine(const std::string& line);

    const std::string& Path() const { return path; }

private:
    bool Open();
    void Close();
    bool Rotate();
    void ReportFailure(const std::string& what, int error);

    std::string path;
    std::uint64_t rotateBytes;
    int generations;
    std::FILE* file = nullptr;
    std::uint64_t size = 0;
    bool failureReported = false;
};

} // namespace korvel
