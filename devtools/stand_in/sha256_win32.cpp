// SHA-256 on Windows: CNG (bcrypt) with the SHA-256 algorithm provider.
#include "devtools/stand_in/sha256.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <bcrypt.h>

bool ComputeSha256(const uint8_t* data, size_t size, uint8_t digest[kSha256Size]) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    // BCryptHash wants a buffer even for no input.
    UCHAR none = 0;
    PUCHAR input = size != 0 ? const_cast<PUCHAR>(data) : &none;
    const NTSTATUS status = BCryptHash(algorithm, nullptr, 0, input, static_cast<ULONG>(size),
                                       digest, static_cast<ULONG>(kSha256Size));
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return BCRYPT_SUCCESS(status);
}
