// SHA-256 from the platform's own cryptography (CNG on Windows, libcrypto on Linux).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kSha256Size = 32;

// The digest of `size` bytes; false when the platform could not compute it.
bool ComputeSha256(const uint8_t* data, size_t size, uint8_t digest[kSha256Size]);
