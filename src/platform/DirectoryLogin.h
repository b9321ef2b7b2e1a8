#pragma once

#include <string>
#include <vector>

namespace korvel {

// What the system's accounts said of a name and password.
struct DirectoryAnswer
{
    enum class Outcome
    {
        Passed,  // the password is the account's and the account may log in now
        Refused, // a wrong name or password, or an account that may not log in
        Failed,  // the directory could not answer (unreachable, misconfigured)
    };
    Outcome outcome = Outcome::Failed;
    // Passed: the name of every group the account belongs to.
    std::vector<std::string> groups;
    // Not Passed: the step and the system's own text, the same for the same
    // kind of failure (so that each kind can be logged once), never with
    // the password in it.
    std::string reason;
};

// Asks the system's accounts whether `password` is the password of the
// account `name`, and which groups it is in: on Linux through PAM with the
// given service name (/etc/pam.d/<service>: its auth and account steps),
// the groups from the name service; on Windows LogonUserW (a network logon,
// "DOMAIN\name", "name@domain" or a local name) with the groups of the
// token, `service` unused. Blocks as long as the directory takes, without
// bound: never on the I/O loop. Safe on any thread, several at once.
DirectoryAnswer CheckDirectoryAccount(const std::string& service, const std::string& name,
                                      const std::string& password);

} // namespace korvel
