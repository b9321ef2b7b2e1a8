// nvrsim: a network video recorder simulator that serves the NVR protocol
// (docs/nvr-protocol.md) to any number of clients, scripted through control
// commands on standard input or a control port (tools/nvrsim/README.md).

#include "ControlCommands.h"
#include "ControlServer.h"
#include "NvrModel.h"
#include "SimServer.h"
#include "StdinReader.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <iostream>
#include <memory>
#include <string>

using boost::asio::ip::tcp;
using namespace nvrsim;

namespace {

const char* const UsageText =
    "usage: nvrsim [--listen ADDR:PORT] [--control ADDR:PORT] [-v]\n"
    "  --listen ADDR:PORT   where clients connect (default 127.0.0.1:22609; port 0 picks one)\n"
    "  --control ADDR:PORT  also take control commands on this TCP port\n"
    "  -v                   log every request served to standard error\n"
    "Control commands are read from standard input; type help for the list.\n";

struct Options
{
    tcp::endpoint listen{boost::asio::ip::make_address("127.0.0.1"), 22609};
    bool control = false;
    tcp::endpoint controlEndpoint;
    bool verbose = false;
};

// ADDR:PORT with a numeric address; an IPv6 address in brackets.
bool ParseEndpoint(const std::string& text, tcp::endpoint& endpoint)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size())
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string portText = text.substr(colon + 1);
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long port = std::stoul(portText);
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(host, error);
    if (error || port > 65535)
        return false;
    endpoint = tcp::endpoint(address, static_cast<unsigned short>(port));
    return true;
}

std::string Describe(const tcp::endpoint& endpoint)
{
    const std::string address = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" +
           std::to_string(endpoint.port());
}

bool ParseOptions(int argc, char** argv, Options& options, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-v") {
            options.verbose = true;
        } else if ((argument == "--listen" || argument == "--control") && i + 1 < argc) {
            const std::string value = argv[++i];
            tcp::endpoint& target =
                argument == "--listen" ? options.listen : options.controlEndpoint;
            if (!ParseEndpoint(value, target)) {
                error = "bad address for " + argument + ": " + value;
                return false;
            }
            options.control = options.control || argument == "--control";
        } else {
            error = "unknown argument: " + argument;
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << UsageText;
        return 0;
    }
    if (!ParseOptions(argc, argv, options, error)) {
        std::cerr << "nvrsim: " << error << "\n" << UsageText;
        return 2;
    }
    // A client or a control reader that goes away must not end the program.
    std::signal(SIGPIPE, SIG_IGN);

    boost::asio::io_context io;
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    NvrModel model;
    std::unique_ptr<SimServer> server;
    std::unique_ptr<ControlServer> control;
    bool stopping = false;
    auto stop = [&] {
        if (stopping)
            return;
        stopping = true;
        boost::system::error_code ignored;
        signals.cancel(ignored);
        server->Stop();
        if (control)
            control->Stop();
        io.stop();
    };

    try {
        server = std::make_unique<SimServer>(io, options.listen, model, options.verbose);
    } catch (const boost::system::system_error& failure) {
        std::cerr << "nvrsim: cannot listen on " << Describe(options.listen) << ": "
                  << failure.code().message() << std::endl;
        return 1;
    }
    model.onChange = [&] { server->ScheduleRefresh(); };
    ControlCommands commands(model, *server);
    if (options.control) {
        try {
            control = std::make_unique<ControlServer>(io, options.controlEndpoint, commands, stop);
        } catch (const boost::system::system_error& failure) {
            std::cerr << "nvrsim: cannot listen on " << Describe(options.controlEndpoint) << ": "
                      << failure.code().message() << std::endl;
            return 1;
        }
    }

    signals.async_wait([&](const boost::system::error_code& failure, int) {
        if (!failure)
            stop();
    });

    std::cout << "listening on " << Describe(server->LocalEndpoint()) << "\n";
    if (control)
        std::cout << "control on " << Describe(control->LocalEndpoint()) << "\n";
    std::cout.flush();

    StdinReader input(io, [&](const std::string& line, bool tooLong) {
        if (stopping)
            return;
        const ControlCommands::Answer answer =
            tooLong ? ControlCommands::Answer{"error: line too long\n", false}
                    : commands.Execute(line);
        std::cout << answer.text << std::flush;
        if (answer.quit)
            stop();
    });

    io.run();
    input.Stop();
    return 0;
}
