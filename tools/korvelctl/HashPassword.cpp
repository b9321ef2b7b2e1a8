#include "korvelctl/HashPassword.h"

#include "platform/PasswordCheck.h"

#include <iostream>
#include <istream>
#include <ostream>

#ifdef _WIN32
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace korvel {

namespace {

// Echo off on the terminal standard input is, for as long as it lives; at
// anything else, nothing.
class EchoOff
{
public:
    EchoOff()
    {
#ifdef _WIN32
        input = GetStdHandle(STD_INPUT_HANDLE);
        if (input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
            terminal = SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
        }
#else
        if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &mode) == 0) {
            termios quiet = mode;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            quiet.c_lflag |= ECHONL;
            terminal = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        }
#endif
    }
    ~EchoOff()
    {
        if (!terminal)
            return;
#ifdef _WIN32
        SetConsoleMode(input, mode);
#else
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode);
#endif
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

    bool Terminal() const { return terminal; }

private:
    bool terminal = false;
#ifdef _WIN32
    HANDLE input = INVALID_HANDLE_VALUE;
    DWORD mode = 0;
#else
    termios mode{};
#endif
};

bool ReadLine(std::istream& in, std::string& line)
{
    if (!std::getline(in, line))
        return false;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

void Wipe(std::string& text)
{
    volatile char* bytes = text.data();
    for (std::size_t i = 0; i < text.size(); ++i)
        bytes[i] = '\0';
    text.clear();
}

} // namespace

int RunHashPassword(const std::vector<std::string>& arguments, std::istream& in,
                    std::ostream& out, std::ostream& err)
{
    if (!arguments.empty()) {
        err << "usage: korvelctl hash-password (the password is read from standard input)\n";
        return 1;
    }
    std::string password;
    std::string again;
    bool read = false;
    bool same = true;
    {
        EchoOff echo;
        if (echo.Terminal())
            err << "Password: " << std::flush;
        read = ReadLine(in, password);
        if (read && echo.Terminal()) {
            err << "Again: " << std::flush;
            same = ReadLine(in, again) && again == password;
        }
    }
    Wipe(again);
    if (!read) {
        err << "korvelctl hash-password: no password on standard input\n";
        return 1;
    }
    if (!same || password.empty()) {
        err << (same ? "korvelctl hash-password: the password is empty\n"
                     : "korvelctl hash-password: the two passwords differ\n");
        Wipe(password);
        return 1;
    }
    const std::string hash = HashPassword(password);
    Wipe(password);
    if (hash.empty()) {
        err << "korvelctl hash-password: the crypt library could not make a hash\n";
        return 1;
    }
    out << hash << "\n";
    return 0;
}

} // namespace korvel
