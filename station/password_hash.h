// Operators' passwords as the station keeps them: salted and slow, PBKDF2 with HMAC-SHA-256
// from OpenSSL's libcrypto.  A hash is one word, "pbkdf2-sha256$ITERATIONS$SALT$HASH" (salt and
// hash in base64), so that it fits a line of the operators file.
#pragma once

#include <string>

constexpr int kPasswordHashIterations = 600000;  // the least a hash may have

// The hash of a password with a new random salt; empty when the system's random source
// failed.
std::string HashPassword(const std::string& password);
// True for a hash in the form above with at least kPasswordHashIterations iterations.
bool IsPasswordHash(const std::string& hash);
// True when the password is the one the hash was made of; the hashes are compared in constant
// time.  False for a malformed hash.
bool VerifyPassword(const std::string& password, const std::string& hash);
