#include "sha256.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

constexpr std::array<std::uint32_t, 64> K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t rotate_right(std::uint32_t x, unsigned n) { return x >> n | x << (32 - n); }

using State = std::array<std::uint32_t, 8>;

void compress(State& state, const std::uint8_t* block) {
  std::array<std::uint32_t, 64> w{};
  for (std::size_t i = 0; i < 16; ++i)
    w[i] = static_cast<std::uint32_t>(block[4 * i]) << 24 | static_cast<std::uint32_t>(block[4 * i + 1]) << 16 |
           static_cast<std::uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
  for (unsigned i = 16; i < 64; ++i) {
    std::uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
    std::uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  State v = state;
  for (unsigned i = 0; i < 64; ++i) {
    std::uint32_t s1 = rotate_right(v[4], 6) ^ rotate_right(v[4], 11) ^ rotate_right(v[4], 25);
    std::uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
    std::uint32_t t1 = v[7] + s1 + choice + K[i] + w[i];
    std::uint32_t s0 = rotate_right(v[0], 2) ^ rotate_right(v[0], 13) ^ rotate_right(v[0], 22);
    std::uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
    v = {t1 + s0 + majority, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
  }
  for (unsigned i = 0; i < 8; ++i) state[i] += v[i];
}

}  // namespace

void sha256_add(Sha256& sha, const std::uint8_t* data, std::size_t size) {
  State state;
  std::copy(std::begin(sha.state), std::end(sha.state), state.begin());
  sha.size += size;
  while (size > 0) {
    std::size_t take = std::min(size, sizeof sha.block - sha.held);
    std::copy(data, data + take, sha.block + sha.held);
    sha.held += take;
    data += take;
    size -= take;
    if (sha.held == sizeof sha.block) {
      compress(state, sha.block);
      sha.held = 0;
    }
  }
  std::copy(state.begin(), state.end(), sha.state);
}

std::string sha256_end(Sha256& sha) {
  // A one bit, zeros, and the length in bits, big-endian.
  std::uint64_t bits = sha.size * 8;
  std::uint8_t pad[72] = {0x80};
  std::size_t zeros = (sha.held < 56 ? 56 : 120) - sha.held;
  for (int i = 0, shift = 56; shift >= 0; ++i, shift -= 8)
    pad[zeros + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> shift);
  sha256_add(sha, pad, zeros + 8);
  std::string hex;
  char digits[9];
  for (std::uint32_t word : sha.state) {
    std::snprintf(digits, sizeof digits, "%08x", word);
    hex += digits;
  }
  return hex;
}

std::string sha256_hex(const std::uint8_t* data, std::size_t size) {
  Sha256 sha;
  sha256_add(sha, data, size);
  return sha256_end(sha);
}
