#include "daemon/context.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "daemon/settings.h"
#include "sys/log.h"

namespace {

// The plain keys, in the order they are read: the gateway's eighteen,
// then the four of RS-485, which a gateway's tooling does not write.
// number_or_1: a number that reads as 1, not 0, when its key is missing.
enum class Kind { number, number_or_1, string };
struct PlainKey {
  const char* key;
  Kind kind;
  std::uint32_t DaemonContext::*number;
  char* DaemonContext::*string;
};

constexpr PlainKey plain_keys[] = {
    {"MOD_METERSCRIBE_ENABLED", Kind::number, &DaemonContext::enabled, nullptr},
    {"MOD_METERSCRIBE_DEVICE", Kind::string, nullptr, &DaemonContext::device},
    {"MOD_METERSCRIBE_BAUDRATE", Kind::number, &DaemonContext::baudrate, nullptr},
    {"MOD_METERSCRIBE_DATABITS", Kind::number, &DaemonContext::databits, nullptr},
    {"MOD_METERSCRIBE_PARITY", Kind::string, nullptr, &DaemonContext::parity},
    {"MOD_METERSCRIBE_STOPBITS", Kind::number, &DaemonContext::stopbits, nullptr},
    {"MOD_METERSCRIBE_SPLIT", Kind::number, &DaemonContext::split, nullptr},
    {"MOD_METERSCRIBE_PERIOD", Kind::number, &DaemonContext::period, nullptr},
    {"MOD_METERSCRIBE_PORT", Kind::number, &DaemonContext::port, nullptr},
    {"MOD_METERSCRIBE_CACHE", Kind::string, nullptr, &DaemonContext::cache},
    {"MOD_METERSCRIBE_CACHE_DIR", Kind::string, nullptr, &DaemonContext::cache_dir},
    {"MOD_METERSCRIBE_FTPES_ENABLED", Kind::number, &DaemonContext::ftpes_enabled, nullptr},
    {"MOD_METERSCRIBE_TLS_AUTH_TYPE", Kind::string, nullptr, &DaemonContext::tls_auth_type},
    {"MOD_METERSCRIBE_REMOTE_URL", Kind::string, nullptr, &DaemonContext::remote_url},
    {"MOD_METERSCRIBE_USERNAME", Kind::string, nullptr, &DaemonContext::username},
    {"MOD_METERSCRIBE_PASSWORD", Kind::string, nullptr, &DaemonContext::password},
    {"MOD_METERSCRIBE_SEND_PERIOD", Kind::number, &DaemonContext::send_period, nullptr},
    {"MOD_METERSCRIBE_START_ADDR", Kind::number, &DaemonContext::start_addr, nullptr},
    {"MOD_METERSCRIBE_RS485", Kind::string, nullptr, &DaemonContext::rs485},
    // Most transceivers send while RTS is high: a missing key means that.
    {"MOD_METERSCRIBE_RS485_RTS_ON_SEND", Kind::number_or_1, &DaemonContext::rs485_rts_on_send, nullptr},
    {"MOD_METERSCRIBE_RS485_DELAY_BEFORE", Kind::number, &DaemonContext::rs485_delay_before, nullptr},
    {"MOD_METERSCRIBE_RS485_DELAY_AFTER", Kind::number, &DaemonContext::rs485_delay_after, nullptr},
};

// Per-slot keys: the prefix followed by the slot number in decimal (1 to 10).
struct MeterKey {
  const char* prefix;
  std::uint32_t MeterConfig::*field;
};

constexpr MeterKey meter_keys[] = {
    {"MOD_METERSCRIBE_ADDR", &MeterConfig::addr},
    {"MOD_METERSCRIBE_START", &MeterConfig::start},
    {"MOD_METERSCRIBE_REG_COUNT", &MeterConfig::reg_count},
    {"MOD_METERSCRIBE_BIN_COUNT", &MeterConfig::bin_count},
    {"MOD_METERSCRIBE_FUNC", &MeterConfig::func},
};

void load_meter_slot(FILE* file, MeterConfig& meter, unsigned slot_number) {
  for (const MeterKey& entry : meter_keys) {
    std::array<char, 64> key;
    snprintf(key.data(), key.size(), "%s%u", entry.prefix, slot_number);
    meter.*entry.field = settings_unsigned(file, key.data());
  }
}

bool fail_with(const char* message) {
  log_msg(LOG_ERR, "%s", message);
  return false;
}

// Walks the consecutive slots from slot 1 whose addr is not 0, turning the
// coils of function-1 meters into whole 16-bit words; returns the words of
// all polled meters.
std::uint64_t count_polled_words(DaemonContext* context) {
  std::uint64_t word_total = 0;
  context->meter_count = count_polled_meters(context);
  for (unsigned index = 0; index < context->meter_count; ++index) {
    MeterConfig& meter = context->meters[index];
    if (meter.func == 1) meter.reg_count = meter.bin_count / 16 + (meter.bin_count % 16 != 0 ? 1 : 0);
    word_total += meter.reg_count;
  }
  return word_total;
}

}  // namespace

unsigned count_polled_meters(const DaemonContext* context) {
  unsigned count = 0;
  while (count < METER_SLOTS && context->meters[count].addr != 0) ++count;
  return count;
}

static_assert(std::size(plain_keys) == PLAIN_KEY_COUNT && std::size(meter_keys) == SLOT_KEY_COUNT);

const char* plain_key_name(unsigned index) { return plain_keys[index].key; }
bool plain_key_is_number(unsigned index) { return plain_keys[index].kind != Kind::string; }
const char* slot_key_prefix(unsigned index) { return meter_keys[index].prefix; }

void load_settings_from(DaemonContext* context, const char* path) {
  FILE* file = settings_open(path, "r");
  for (const PlainKey& entry : plain_keys) {
    if (entry.kind == Kind::number) {
      context->*entry.number = settings_unsigned(file, entry.key);
    } else if (entry.kind == Kind::number_or_1) {
      const char* value = settings_lookup(file, entry.key);
      context->*entry.number = value != nullptr ? parse_settings_number(value) : 1;
    } else {
      context->*entry.string = settings_string(file, entry.key);
    }
  }
  for (unsigned slot = 0; slot < METER_SLOTS; ++slot) load_meter_slot(file, context->meters[slot], slot + 1);
  settings_close(file);
}

void load_settings(DaemonContext* context) {
  PathBuffer path;
  load_settings_from(context, rooted_path(path.data(), path.size(), SETTINGS_PATH));
}

bool derive_meter_table(DaemonContext* context) {
  if (context->meters[0].addr == 0) return fail_with("no meters to read");
  std::uint64_t word_total = count_polled_words(context);
  // Word counts come from 32-bit settings; on a 32-bit board their sum can
  // exceed what size_t carries, which is as fatal as a failed allocation.
  if (word_total > SIZE_MAX / 2) return fail_with("no enough memory for databuf");
  auto words = static_cast<std::size_t>(word_total);
  // calloc fills with zeros; asking for one slot keeps an empty image from
  // being mistaken for a failure.
  context->register_image = static_cast<std::uint16_t*>(std::calloc(words != 0 ? words : 1, 2));
  if (context->register_image == nullptr) return fail_with("no enough memory for databuf");
  release_init(context->release);
  return true;
}

Rs485Setup rs485_setup_of(const DaemonContext& context) {
  Rs485Setup setup = RS485_DEFAULT;
  if (!rs485_control_named(context.rs485, setup.control)) setup.control = RS485_DEFAULT.control;
  setup.rts_on_send = context.rs485_rts_on_send != 0;
  setup.delay_before_ms = context.rs485_delay_before;
  setup.delay_after_ms = context.rs485_delay_after;
  return setup;
}

LineSettings line_settings_of(const DaemonContext& context) {
  return {context.baudrate, context.databits, context.parity, context.stopbits, rs485_setup_of(context)};
}

void release_context(DaemonContext* context) {
  for (const PlainKey& entry : plain_keys) {
    if (entry.kind == Kind::string) {
      std::free(context->*entry.string);
      context->*entry.string = nullptr;
    }
  }
  std::free(context->register_image);
  context->register_image = nullptr;
}
