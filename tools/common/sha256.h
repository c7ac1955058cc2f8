// SHA-256 of a byte string, for telling one delivered file's content from
// another without a crypto library on either side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The digest as 64 lowercase hex digits.
std::string sha256_hex(const std::uint8_t* data, std::size_t size);
