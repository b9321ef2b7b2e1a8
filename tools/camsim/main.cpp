// camsim: plays track cameras for tlKorvel on TCP ports and pseudo-terminals,
// and shows every Pelco command it receives in plain words.
#include "camsim/PtyCameraPort.h"
#include "camsim/TcpCameraPort.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <iostream>
#include <memory>
#include <vector>

namespace korvel {

namespace {

void Usage(std::ostream& out)
{
    out << "usage: camsim [--listen [ADDRESS:]PORT]... [--pty]...\n"
           "\n"
           "Plays track cameras: each --listen is a network camera on a TCP port\n"
           "(ADDRESS defaults to 127.0.0.1; port 0 picks a free port), each --pty a\n"
           "serial camera on a new pseudo-terminal. One line per camera tells where it\n"
           "is (\"camera listening on 127.0.0.1:PORT\", \"camera on pseudo-terminal\n"
           "/dev/pts/N\"): put that port or device in the service's configuration.\n"
           "\n"
           "Every Pelco-D and Pelco-P frame received is shown with a time stamp, its\n"
           "bytes, its meaning and the simulated camera's position; frames that fail\n"
           "their checksum are counted. The simulator never answers. Ctrl-C ends it\n"
           "with a summary.\n";
}

bool ParseListen(const std::string& text, std::string& host, unsigned short& port)
{
    const std::size_t colon = text.rfind(':');
    std::string portText = text;
    host = "127.0.0.1";
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
    }
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long value = std::stoul(portText);
    if (value > 65535)
        return false;
    port = static_cast<unsigned short>(value);
    return true;
}

} // namespace

int Main(int argc, char** argv)
{
    struct Listen
    {
        std::string host;
        unsigned short port;
    };
    std::vector<Listen> listens;
    int ptys = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        Listen listen{};
        if (argument == "-h" || argument == "--help") {
            Usage(std::cout);
            return 0;
        } else if (argument == "--listen" && i + 1 < argc &&
                   ParseListen(argv[i + 1], listen.host, listen.port)) {
            listens.push_back(listen);
            ++i;
        } else if (argument == "--pty") {
            ++ptys;
        } else {
            Usage(std::cerr);
            return 1;
        }
    }
    if (listens.empty() && ptys == 0) {
        Usage(std::cerr);
        return 1;
    }

    boost::asio::io_context io;
    CameraTotals totals;
    std::vector<std::unique_ptr<TcpCameraPort>> tcpPorts;
    std::vector<std::unique_ptr<PtyCameraPort>> ptyPorts;
    try {
        for (const Listen& listen : listens) {
            tcpPorts.push_back(
                std::make_unique<TcpCameraPort>(io, listen.host, listen.port, totals));
            std::cout << "camera listening on " << tcpPorts.back()->Where() << std::endl;
        }
        for (int i = 0; i < ptys; ++i) {
            ptyPorts.push_back(std::make_unique<PtyCameraPort>(io, totals));
            std::cout << "camera on pseudo-terminal " << ptyPorts.back()->Where() << std::endl;
        }
    } catch (const std::exception& error) {
        std::cerr << "camsim: " << error.what() << std::endl;
        return 1;
    }

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& error, int) {
        if (error)
            return;
        std::cout << "frames: " << totals.frames << ", bad checksums: " << totals.badChecksums
                  << ", bytes outside frames: " << totals.skippedBytes << std::endl;
        // Open connections end with the loop; nothing is waiting on them.
        io.stop();
    });
    io.run();
    return 0;
}

} // namespace korvel

int main(int argc, char** argv)
{
    return korvel::Main(argc, argv);
}
