// SHA-256 on Linux: OpenSSL's libcrypto through its EVP digest interface.
#include "devtools/stand_in/sha256.h"

#include <openssl/evp.h>

bool ComputeSha256(const uint8_t* data, size_t size, uint8_t digest[kSha256Size]) {
    unsigned int length = 0;
    return EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) == 1 &&
           length == kSha256Size;
}
