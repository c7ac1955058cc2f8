// Fuzzes the settings reader on arbitrary files: the input is written to a
// scratch file and read with load_settings_from, then the meter table is
// derived when that is safe. Checked after every run: each string setting
// is allocated, ends before a line end and fits the reader's line buffer; a
// file without a key of ours reads as all zeros and empty texts; the derived
// table counts the meters up to the first address 0, gives function-1
// meters whole words of coils and allocates a zeroed word for each.
//
// Input form: the bytes of the file, or, to reach past the 16 KiB line
// buffer cheaply, 0xFF, a fill byte, a 16-bit little-endian count and the
// file, into which the fill byte is inserted (count modulo 40000) times
// just after the first '=' (at the front when there is none): enough to
// cross the line buffer twice while every run stays quick.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <string>
#include <string_view>
#include <unistd.h>

#include "daemon/context.h"
#include "daemon/settings.h"
#include "sys/log.h"

namespace {

constexpr std::uint64_t MAX_DERIVED_WORDS = 1 << 16;  // keeps each run fast

void ignore_message(int, const char*) {}

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "settings_fuzz: %s\n", what);
  std::abort();
}

struct Scratch {
  std::string dir;
  std::string file;
};

Scratch& scratch() {
  static Scratch place = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/settings_fuzz.XXXXXX";
    check(mkdtemp(dir.data()) != nullptr, "cannot make a scratch directory");
    return Scratch{dir, dir + "/settings"};
  }();
  return place;
}

void remove_scratch() {
  unlink(scratch().file.c_str());
  rmdir(scratch().dir.c_str());
}

std::string decode_file(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (size < 4 || data[0] != 0xFF) return text;
  std::size_t count = (data[2] | static_cast<std::size_t>(data[3]) << 8) % 40000;
  std::string rest = text.substr(4);
  std::size_t equals = rest.find('=');
  std::size_t at = equals == std::string::npos ? 0 : equals + 1;
  rest.insert(at, count, static_cast<char>(data[1]));
  return rest;
}

void write_scratch(const std::string& text) {
  FILE* file = std::fopen(scratch().file.c_str(), "wb");
  check(file != nullptr, "cannot write the scratch file");
  check(std::fwrite(text.data(), 1, text.size(), file) == text.size(), "short write");
  check(std::fclose(file) == 0, "cannot close the scratch file");
}

// Every key of ours contains this text; the reader compares keys without
// regard to case.
bool may_hold_a_key(const std::string& text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return lower.find('=') != std::string::npos && lower.find("mod_meterscribe_") != std::string::npos;
}

char* DaemonContext::*const string_fields[] = {
    &DaemonContext::device,        &DaemonContext::parity,     &DaemonContext::cache,
    &DaemonContext::cache_dir,     &DaemonContext::tls_auth_type, &DaemonContext::remote_url,
    &DaemonContext::username,      &DaemonContext::password,   &DaemonContext::rs485,
};

std::uint32_t DaemonContext::*const number_fields[] = {
    &DaemonContext::enabled, &DaemonContext::baudrate,      &DaemonContext::databits,
    &DaemonContext::stopbits, &DaemonContext::split,        &DaemonContext::period,
    &DaemonContext::port,    &DaemonContext::ftpes_enabled, &DaemonContext::send_period,
    &DaemonContext::start_addr, &DaemonContext::rs485_delay_before, &DaemonContext::rs485_delay_after,
};

void check_strings(const DaemonContext& context, bool may_be_set) {
  for (char* DaemonContext::*field : string_fields) {
    const char* value = context.*field;
    check(value != nullptr, "a string setting is null");
    std::size_t length = std::strlen(value);
    // A value follows "K=" within one piece of at most 16383 characters.
    check(length + 2 < SETTINGS_LINE_SIZE, "a value longer than the line buffer allows");
    check(std::strpbrk(value, "\r\n") == nullptr, "a value holds a line end");
    check(may_be_set || length == 0, "a value without a key in the file");
  }
  for (std::uint32_t DaemonContext::*field : number_fields)
    check(may_be_set || context.*field == 0, "a number without a key in the file");
  check(may_be_set || context.rs485_rts_on_send == 1, "RTS_ON_SEND without its key is not 1");
  for (const MeterConfig& meter : context.meters) {
    bool all_zero = meter.addr == 0 && meter.start == 0 && meter.reg_count == 0 && meter.bin_count == 0 &&
                    meter.func == 0;
    check(may_be_set || all_zero, "a meter setting without a key in the file");
  }
}

// The words that derive_meter_table will allocate, computed independently
// from the loaded settings; 0 when derivation must be skipped (no meter 1:
// it would end the process).
std::uint64_t expected_words(const DaemonContext& context, unsigned* meters) {
  std::uint64_t words = 0;
  unsigned index = 0;
  for (; index < METER_SLOTS && context.meters[index].addr != 0; ++index) {
    const MeterConfig& meter = context.meters[index];
    words += meter.func == 1 ? (std::uint64_t{meter.bin_count} + 15) / 16 : meter.reg_count;
  }
  *meters = index;
  return words;
}

void check_derived(DaemonContext& context, std::uint64_t words, unsigned meters) {
  check(derive_meter_table(&context), "a table with meters was refused");
  check(context.meter_count == meters, "meter_count is not the slots before the first address 0");
  for (unsigned i = 0; i < meters; ++i) {
    const MeterConfig& meter = context.meters[i];
    if (meter.func == 1)
      check(meter.reg_count == (std::uint64_t{meter.bin_count} + 15) / 16, "coils not counted in whole words");
  }
  check(context.register_image != nullptr, "no register image");
  // Reading every word lets AddressSanitizer catch a short allocation.
  for (std::uint64_t i = 0; i < words; ++i) check(context.register_image[i] == 0, "register image not zeroed");
  check(context.release.ready_name[0] == '\0', "ready_name not empty");
  pthread_mutex_destroy(&context.release.ready_lock);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_set_capture(ignore_message);
  scratch();
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text = decode_file(data, size);
  write_scratch(text);
  auto context = std::make_unique<DaemonContext>();
  load_settings_from(context.get(), scratch().file.c_str());
  check_strings(*context, may_hold_a_key(text));
  unsigned meters = 0;
  std::uint64_t words = expected_words(*context, &meters);
  if (meters > 0 && words <= MAX_DERIVED_WORDS) check_derived(*context, words, meters);
  release_context(context.get());
  for (char* DaemonContext::*field : string_fields) check(context.get()->*field == nullptr, "string kept after release");
  return 0;
}
