// SHA-256 of a byte string, for telling one delivered file's content from
// another without a crypto library on either side.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <string>

// The digest as 64 lowercase hex digits.
std::string sha256_hex(const std::uint8_t* data, std::size_t size);

// The digest of a content read in pieces, so a file of any size is hashed
// in a bounded buffer: sha256_add each piece in order, then sha256_end.
struct Sha256Stream {
  std::array<std::uint32_t, 8> state;
  std::array<std::uint8_t, 64> block;  // the bytes of an unfinished block
  std::size_t in_block;
  std::uint64_t size;  // bytes added so far
};

void sha256_begin(Sha256Stream& stream);
void sha256_add(Sha256Stream& stream, const std::uint8_t* data, std::size_t size);
// The digest as 64 lowercase hex digits; the stream is spent.
std::string sha256_end(Sha256Stream& stream);
