// The configuration loader on whatever tlKorvel.xml holds. Rules: no crash;
// the only exception is the one the loader documents (a serial camera's
// DataBits outside 5 to 8); the tables hold only usable entries.
//
// Input: the whole file. The loader runs inside a Sandbox: host names stay
// unresolved unless numeric, and a serial camera reaches a device only under
// the name Sandbox::SerialPortName (a pseudo-terminal of the target's own).
// The I/O loop never runs, so no camera connects anywhere.
#include "Check.h"
#include "Sandbox.h"

#include "camera/TrackCamera.h"
#include "config/Configuration.h"
#include "nvr/NVRConnection.h"

#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>

namespace {

Sandbox& TheSandbox()
{
    static Sandbox sandbox;
    return sandbox;
}

void CheckTables(const NvrTable& nvrs, const CameraTable& cameras, const UserTable& users)
{
    for (const auto& entry : nvrs) {
        FUZZ_CHECK(entry.second && entry.first == entry.second->GetAddress());
        FUZZ_CHECK(!entry.second->GetLogin().empty());
    }
    for (const auto& entry : cameras)
        FUZZ_CHECK(entry.second && !entry.first.empty() && entry.first == entry.second->GetAddress());
    for (const auto& entry : users)
        FUZZ_CHECK(!entry.first.empty() && entry.first == entry.second.name);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    TheSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Sandbox& sandbox = TheSandbox();
    {
        std::ofstream file(sandbox.Folder() + "tlKorvel.xml", std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        FUZZ_CHECK(file.good());
    }

    // The loop outlives the tables, as in the run sequence.
    boost::asio::io_context io;
    NvrTable nvrs;
    CameraTable cameras;
    UserTable users;
    try {
        const int result = LoadConfiguration(io, nvrs, cameras, users, sandbox.Folder());
        FUZZ_CHECK(result == 0 || result == -1);
    } catch (const std::out_of_range& error) {
        FUZZ_CHECK(std::string(error.what()) == "invalid character_size value");
    }
    CheckTables(nvrs, cameras, users);
    return 0;
}
