// PBKDF2-HMAC-SHA-256: 16 random bytes of salt (RAND_bytes), 32 bytes of hash.
#include "station/password_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr char kScheme[] = "pbkdf2-sha256";
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
constexpr long kMaxIterations = 10000000;  // a file can't make a sign-in take minutes

std::string Base64(const unsigned char* bytes, size_t count) {
    std::string text(4 * ((count + 2) / 3), '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes,
                                        static_cast<int>(count));
    text.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return text;
}

bool FromBase64(const std::string& text, std::vector<unsigned char>* bytes) {
    if (text.empty() || text.size() % 4 != 0) {
        return false;
    }
    bytes->assign(text.size() / 4 * 3, 0);
    const int decoded =
        EVP_DecodeBlock(bytes->data(), reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
    if (decoded < 0) {
        return false;
    }
    // EVP_DecodeBlock counts the padding's bytes as data.
    size_t padding = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) {
        ++padding;
    }
    bytes->resize(static_cast<size_t>(decoded) - padding);
    return true;
}

struct ParsedHash {
    int iterations = 0;
    std::vector<unsigned char> salt, hash;
};

bool Parse(const std::string& text, ParsedHash* parsed) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t end; (end = text.find('$', start)) != std::string::npos; start = end + 1) {
        fields.push_back(text.substr(start, end - start));
    }
    fields.push_back(text.substr(start));
    if (fields.size() != 4 || fields[0] != kScheme || fields[1].empty() ||
        fields[1].find_first_not_of("0123456789") != std::string::npos || fields[1].size() > 9) {
        return false;
    }
    const long iterations = std::strtol(fields[1].c_str(), nullptr, 10);
    if (iterations < kPasswordHashIterations || iterations > kMaxIterations) {
        return false;
    }
    parsed->iterations = static_cast<int>(iterations);
    return FromBase64(fields[2], &parsed->salt) && parsed->salt.size() >= kSaltBytes &&
           FromBase64(fields[3], &parsed->hash) && parsed->hash.size() == kHashBytes;
}

bool Derive(const std::string& password, const std::vector<unsigned char>& salt, int iterations,
            unsigned char* out) {
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                             static_cast<int>(salt.size()), iterations, EVP_sha256(),
                             static_cast<int>(kHashBytes), out) == 1;
}

}  // namespace

std::string HashPassword(const std::string& password) {
    std::vector<unsigned char> salt(kSaltBytes);
    unsigned char hash[kHashBytes];
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1 ||
        !Derive(password, salt, kPasswordHashIterations, hash)) {
        return {};
    }
    return std::string(kScheme) + "$" + std::to_string(kPasswordHashIterations) + "$" +
           Base64(salt.data(), salt.size()) + "$" + Base64(hash, kHashBytes);
}

bool IsPasswordHash(const std::string& hash) {
    ParsedHash parsed;
    return Parse(hash, &parsed);
}

bool VerifyPassword(const std::string& password, const std::string& hash) {
    ParsedHash parsed;
    unsigned char derived[kHashBytes];
    if (!Parse(hash, &parsed) || !Derive(password, parsed.salt, parsed.iterations, derived)) {
        return false;
    }
    return CRYPTO_memcmp(derived, parsed.hash.data(), kHashBytes) == 0;
}
