#pragma once

#include <string_view>

namespace korvel {

// The crypt(3) hash kinds a User's PasswordHash may hold, told by their
// shape alone (the prefix, the fields, the alphabet, the lengths):
//   yescrypt  $y$<params>$<salt>$<hash>
//   bcrypt    $2b$<cost 04-31>$<22 salt + 31 hash characters> (also $2a$, $2y$)
//   SHA-512   $6$[rounds=<n>$]<salt, at most 16>$<86 hash characters>
// Anything else is Malformed: a hash that no check could ever pass, or one of
// a kind this service does not read (DES, MD5), which a user must not be let
// in by.
enum class PasswordHashFormat
{
    Malformed,
    Yescrypt,
    Bcrypt,
    Sha512,
};

PasswordHashFormat PasswordHashFormatOf(std::string_view hash);

// "yescrypt", "bcrypt", "SHA-512" ("malformed").
std::string_view PasswordHashFormatName(PasswordHashFormat format);

} // namespace korvel
