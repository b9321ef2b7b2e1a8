// camsim as a process: where its cameras are, what it shows for the bytes
// written to them over TCP and a pseudo-terminal, and its summary.
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel::camsim_test {

namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes += static_cast<char>(value);
    return bytes;
}

// Writes the bytes to a new connection to the port, then closes it.
void SendTcp(unsigned short port, const std::string& bytes)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// Writes the bytes to the device as a serial camera's driver would.
void SendDevice(const std::string& path, const std::string& bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

struct Cameras
{
    std::vector<unsigned short> ports;
    std::string device;
};

// Reads the lines camsim prints first, one per camera.
bool FindCameras(Process& camsim, std::size_t tcpCount, Cameras& cameras)
{
    const std::regex tcpLine("camera listening on 127\\.0\\.0\\.1:([0-9]+)\n");
    const std::regex ptyLine("camera on pseudo-terminal (/dev/pts/[0-9]+)\n");
    return WaitUntil([&] {
        const std::string out = camsim.Stdout();
        cameras.ports.clear();
        for (auto it = std::sregex_iterator(out.begin(), out.end(), tcpLine);
             it != std::sregex_iterator(); ++it)
            cameras.ports.push_back(static_cast<unsigned short>(std::stoi((*it)[1])));
        std::smatch device;
        if (std::regex_search(out, device, ptyLine))
            cameras.device = device[1];
        return cameras.ports.size() == tcpCount && !cameras.device.empty();
    });
}

} // namespace

TEST(Camsim, ShowsWhatEachCameraReceives)
{
    Process camsim(CAMSIM_BINARY, {"--listen", "0", "--listen", "127.0.0.1:0", "--pty"});
    Cameras cameras;
    ASSERT_TRUE(FindCameras(camsim, 2, cameras)) << camsim.Stdout() << camsim.Stderr();
    ASSERT_NE(cameras.ports[0], cameras.ports[1]);
    const std::string first = "127.0.0.1:" + std::to_string(cameras.ports[0]) + " ";
    const std::string second = "127.0.0.1:" + std::to_string(cameras.ports[1]) + " ";
    const std::string device = cameras.device + " ";

    const struct
    {
        const char* name;
        int target; // 0, 1: the TCP ports; 2: the pseudo-terminal
        std::string bytes;
        std::vector<std::string> lines; // each must appear, after the time stamp
    } cases[] = {
        {"Pelco-D over TCP",
         0,
         Bytes({0xFF, 0x03, 0x00, 0x04, 0x14, 0x00, 0x1B}),
         {first + "camera 3 Pelco-D [FF 03 00 04 14 00 1B] pan left at speed 20 | position pan 0.0 "
                  "tilt 0.0 zoom 1.0x"}},
        {"Pelco-P over the other port",
         1,
         Bytes({0xA0, 0x01, 0x00, 0x08, 0x00, 0x20, 0xAF, 0x26}),
         {second + "camera 2 Pelco-P [A0 01 00 08 00 20 AF 26] tilt up at speed 32 | position pan "
                   "0.0 tilt 0.0 zoom 1.0x"}},
        {"noise, a bad frame and a good one over the pseudo-terminal",
         2,
         Bytes({0x41, 0x0A, 0xFF, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x05, 0x00, 0x07, 0x00,
                0x02, 0x0E}),
         {device + "2 bytes outside any frame [41 0A]",
          device + "bad checksum in Pelco-D frame [FF 05 00 00 00 00 00], expected 05 (bad frames "
                   "so far: 1)",
          device + "camera 5 Pelco-D [FF 05 00 07 00 02 0E] go to preset 2 (preset 2 is not set) | "
                   "position"}},
    };
    for (const auto& c : cases) {
        if (c.target == 2)
            SendDevice(cameras.device, c.bytes);
        else
            SendTcp(cameras.ports[static_cast<std::size_t>(c.target)], c.bytes);
        const bool shown = WaitUntil([&] {
            const std::string out = camsim.Stdout();
            for (const auto& line : c.lines)
                if (out.find(line) == std::string::npos)
                    return false;
            return true;
        });
        EXPECT_TRUE(shown) << c.name << ":\n" << camsim.Stdout();
    }

    camsim.Signal(SIGINT);
    ASSERT_TRUE(camsim.Wait());
    EXPECT_EQ(camsim.ExitStatus(), 0);
    EXPECT_NE(camsim.Stdout().find("frames: 3, bad checksums: 1, bytes outside frames: 2\n"),
              std::string::npos)
        << camsim.Stdout();
}

TEST(Camsim, RefusesBadArguments)
{
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{},
                                                      {"--listen"},
                                                      {"--listen", "70000"},
                                                      {"--listen", "x"},
                                                      {"--serial"}}) {
        const RunResult result = RunToEnd(CAMSIM_BINARY, arguments);
        EXPECT_EQ(result.exitStatus, 1) << (arguments.empty() ? "" : arguments.back());
        EXPECT_NE(result.err.find("usage: camsim"), std::string::npos);
    }
}

} // namespace korvel::camsim_test
