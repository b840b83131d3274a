// Secrets at rest and in flight: random tokens and salts from OpenSSL's generator, secret keys
// kept only as salted SHA-256 digests, compared in constant time. Thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kivo::console {

// bytes random bytes as lower-case hexadecimal (2 * bytes characters).
std::string randomHex(size_t bytes);

// Hex SHA-256 of salt followed by secret.
std::string saltedDigest(std::string_view saltHex, std::string_view secret);

// True when secret hashes with salt to digestHex; the comparison does not leak where they differ.
bool secretMatches(std::string_view saltHex, std::string_view digestHex, std::string_view secret);

}  // namespace kivo::console
