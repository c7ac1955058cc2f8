// Every fixed path of the system, composed below one root prefix.
//
// Production runs with the real root (an empty prefix). Tests point
// METERSCRIBE_ROOT at a temporary directory; the entry point reads it once.
// A fixed-size text buffer keeps its size for the part after the root: a
// buffer of N bytes becomes root_length() + N bytes, so the cutting rules
// behave the same below a test root.
#pragma once

#include <array>
#include <cstddef>

// Longest root prefix accepted; a longer METERSCRIBE_ROOT is refused.
constexpr std::size_t ROOT_MAX = 256;

// Every path the daemon composes has at most 257 characters after the root:
// a buffer of PATH_SIZE bytes, rooted as PathBuffer.
constexpr std::size_t PATH_SIZE = 258;
using PathBuffer = std::array<char, ROOT_MAX + PATH_SIZE>;

// The fixed paths, relative to the root.
constexpr const char* SETTINGS_PATH = "/opt/meterscribe/etc/settings";
constexpr const char* MEMCARD_SCRIPT = "/opt/meterscribe/etc/memCard";
constexpr const char* SEND_SCRIPT = "/opt/meterscribe/etc/send";
constexpr const char* REMOVE_SCRIPT = "/opt/meterscribe/etc/removeFile";
constexpr const char* VOLATILE_LOG_DIR = "/var/meterscribe/voldata";
constexpr const char* MEMCARD_LOG_DIR = "/var/meterscribe/mnt";
constexpr const char* LOCK_DIR = "/var/lock";
constexpr const char* GPIO_DEVICE = "/dev/gpio";

// Sets the root prefix; null or empty is the real root. Returns false (and
// keeps the real root) when the prefix is longer than ROOT_MAX.
bool paths_set_root(const char* root);

// Reads METERSCRIBE_ROOT from the environment into the root prefix.
bool paths_init_from_env();

const char* path_root();
std::size_t root_length();

// Size of a buffer of `size` bytes once the root is put in front.
inline std::size_t rooted_size(std::size_t size) { return root_length() + size; }

// Writes root + fixed into out (out_size bytes, cut if needed); returns out.
char* rooted_path(char* out, std::size_t out_size, const char* fixed);
