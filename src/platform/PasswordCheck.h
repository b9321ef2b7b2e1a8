#pragma once

#include <string>

namespace korvel {

// Passwords against crypt(3) hashes, with the crypt library the build links
// (the system's libcrypt on Linux, the same library built from source for
// Windows): yescrypt, bcrypt and SHA-512 hashes. Slow on purpose (a
// yescrypt hash of the default cost takes tens of milliseconds): never on
// the I/O loop. Safe on any thread.

// True when the password hashes to `hash`, the two compared in a time that
// does not depend on where they differ. False when the library cannot use
// the hash (malformed, or of a kind it does not implement).
bool PasswordMatchesHash(const std::string& password, const std::string& hash);

// A yescrypt hash of the password, with a fresh salt from the system's
// random source (std::random_device); empty when the library could not make one.
std::string HashPassword(const std::string& password);

} // namespace korvel
