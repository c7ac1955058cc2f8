// SHA-256 of a byte string, for telling one delivered file's content from
// another without a crypto library on either side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The digest as 64 lowercase hex digits.
std::string sha256_hex(const std::uint8_t* data, std::size_t size);

// The same digest of bytes that arrive in pieces, for a file streamed in
// chunks: sha256_add each piece in order, then sha256_end.
struct Sha256 {
  std::uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::uint8_t block[64] = {};
  std::size_t held = 0;  // bytes of `block` filled
  std::uint64_t size = 0;
};
void sha256_add(Sha256& sha, const std::uint8_t* data, std::size_t size);
std::string sha256_end(Sha256& sha);
