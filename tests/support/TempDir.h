#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace korvel {

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // With a trailing "/".
    const std::string& Path() const { return path; }
    std::string File(const std::string& name) const { return path + name; }

private:
    std::string path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);
bool FileExists(const std::string& path);

// Polls the condition every 20 ms (or every `interval`) until it holds or
// the timeout passes.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20),
               std::chrono::milliseconds interval = std::chrono::milliseconds(20));

} // namespace korvel
