// korvelctl: an operator client for tlKorvel, interactive or scripted.
#include "korvelctl/AdminClient.h"
#include "korvelctl/AuditTable.h"
#include "korvelctl/CommandWords.h"
#include "korvelctl/HashPassword.h"
#include "korvelctl/LineReader.h"
#include "korvelctl/OperatorClient.h"
#include "korvelctl/ServiceCheck.h"
#include "text/OutsideText.h"

#include <boost/asio/io_context.hpp>

#include <cmath>
#include <csignal>
#include <cstring>
#include <iostream>
#include <unistd.h>

namespace korvel {

namespace {

void Usage(std::ostream& out)
{
    out << "usage: korvelctl HOST:PORT [--run COMMANDS] [--gap MS] [--linger SECONDS] "
           "[--reconnect]\n"
           "       korvelctl audit FILE [--camera N] [--user NAME] [--since TIME]\n"
           "       korvelctl check [--address A] [--port P] [--timeout MS]\n"
           "       korvelctl admin COMMAND ... (korvelctl admin --help)\n"
           "       korvelctl hash-password\n"
           "\n"
           "Connects to the tlKorvel operator port and shows every message of the service\n"
           "in plain words. Without --run, commands are read from standard input, one a\n"
           "line; with --run they are taken from COMMANDS, separated by \";\", for example\n"
           "  korvelctl 127.0.0.1:55272 --run \"login a b; cam 3; left 20; sleep 0.5; stop\"\n"
           "\n"
           "Commands:\n"
        << CommandHelp
        << "\n"
           "Each command goes to the service as one message of its own: the service takes\n"
           "whatever one receive delivers as one message, so korvelctl writes each message\n"
           "with one write and waits until it has gone out and --gap milliseconds (default\n"
           "20) have passed before the next. Nothing is sent before the greeting; after a\n"
           "LOGIN nothing is sent until its answer has come. After the last command,\n"
           "korvelctl goes on showing messages for --linger seconds (default 0.5).\n"
           "\n"
           "With --reconnect, a connection that drops (a standby server taking over) is\n"
           "made again to the same address, retried after 0.1 s and then up to every 2 s;\n"
           "the last accepted login is sent again and the current camera kept.\n"
           "\n"
           "The service's messages carry no delimiter, so when several arrive together\n"
           "korvelctl tells them apart by the way each begins; a user or camera name\n"
           "that contains such a beginning may be shown cut in two.\n"
           "\n"
           "korvelctl audit FILE shows the service's control audit trail (AuditFile in\n"
           "tlKorvel.xml) as a table; --camera, --user and --since (UTC) filter it.\n"
           "\n"
           "korvelctl check exits 0 when a tlKorvel greets on A:P (default\n"
           "127.0.0.1:55272) within MS milliseconds (default 2000), without logging in;\n"
           "otherwise it says why on one line and exits 3.\n"
           "\n"
           "korvelctl admin is a supervisor's client of the status server's API:\n"
           "release, reserve and unreserve cameras, end sessions.\n"
           "korvelctl hash-password reads a password (at a terminal without echo, twice;\n"
           "else the first line of standard input) and prints its yescrypt hash for a\n"
           "User's PasswordHash in tlKorvel.xml; exit status 0, or 1 and one line why.\n"
           "\n"
           "Exit status: 0 done; 1 usage error; 2 login refused (--run only); 3 cannot\n"
           "connect, connection lost, or no greeting or LOGIN answer within 10 seconds\n"
           "(--run only).\n";
}

bool SplitHostPort(const std::string& text, std::string& host, std::string& port)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return true;
}

bool ParseMilliseconds(const char* text, double scale, std::chrono::milliseconds& value)
{
    char* end = nullptr;
    const double number = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(number) || number < 0 ||
        number * scale > 3600e3)
        return false;
    value = std::chrono::milliseconds(std::llround(number * scale));
    return true;
}

} // namespace

int Main(int argc, char** argv)
{
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (argc >= 2 && std::strcmp(argv[1], "audit") == 0)
        return RunAudit(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr);
    if (argc >= 2 && std::strcmp(argv[1], "admin") == 0)
        return RunAdmin(std::vector<std::string>(argv + 2, argv + argc), std::cin, std::cout,
                        std::cerr);
    if (argc >= 2 && std::strcmp(argv[1], "hash-password") == 0)
        return RunHashPassword(std::vector<std::string>(argv + 2, argv + argc), std::cin,
                               std::cout, std::cerr);
    if (argc >= 2 && std::strcmp(argv[1], "check") == 0)
        return RunCheck(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr);

    OperatorClient::Options options;
    std::string target;
    std::string script;
    bool scripted = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "-h" || argument == "--help") {
            Usage(std::cout);
            return OperatorClient::Success;
        } else if (argument == "--run" && hasValue) {
            script = argv[++i];
            scripted = true;
        } else if (argument == "--reconnect") {
            options.reconnect = true;
        } else if (argument == "--gap" && hasValue) {
            if (!ParseMilliseconds(argv[++i], 1, options.gap)) {
                std::cerr << "korvelctl: --gap takes milliseconds\n";
                return OperatorClient::UsageError;
            }
        } else if (argument == "--linger" && hasValue) {
            if (!ParseMilliseconds(argv[++i], 1000, options.linger)) {
                std::cerr << "korvelctl: --linger takes seconds\n";
                return OperatorClient::UsageError;
            }
        } else if (target.empty() && argument.compare(0, 1, "-") != 0) {
            target = argument;
        } else {
            Usage(std::cerr);
            return OperatorClient::UsageError;
        }
    }
    if (!SplitHostPort(target, options.host, options.port)) {
        Usage(std::cerr);
        return OperatorClient::UsageError;
    }

    std::vector<OperatorCommand> commands;
    std::string error;
    if (scripted && !ParseCommands(script, commands, error)) {
        std::cerr << "korvelctl: " << EscapedText(error) << "\n";
        return OperatorClient::UsageError;
    }
    options.scripted = scripted;
    options.colour = ColourModeFor(STDOUT_FILENO);

    boost::asio::io_context io;
    OperatorClient client(io, options);
    LineReader input(
        io,
        [&client](const std::string& line) {
            std::vector<OperatorCommand> typed;
            std::string error;
            if (ParseCommands(line, typed, error))
                client.Add(typed);
            else
                std::cerr << "korvelctl: " << EscapedText(error) << std::endl;
        },
        [&client] { client.EndOfInput(); });

    client.Start();
    if (scripted) {
        client.Add(commands);
        client.EndOfInput();
    } else {
        std::cout << "type help for the commands" << std::endl;
        input.Start();
    }
    io.run();
    input.Stop();
    return client.ExitStatus();
}

} // namespace korvel

int main(int argc, char** argv)
{
    return korvel::Main(argc, argv);
}
