// The daemon's one record: every setting, the meter table, and the little
// state that the polling thread and the upload thread share.
#pragma once

#include <cstdint>

#include "modbus/meter_config.h"
#include "modbus/rs485.h"
#include "store/log_dir.h"
#include "store/release.h"

constexpr unsigned METER_SLOTS = 10;

struct DaemonContext {
  std::uint32_t enabled;  // read and kept, not used
  char* device;           // serial device below /dev, such as "ttyS0"
  std::uint32_t baudrate;
  std::uint32_t databits;
  char* parity;  // its first character decides
  std::uint32_t stopbits;
  std::uint32_t split;   // ms budget for the rest of a response
  std::uint32_t period;  // s slept after each poll cycle
  std::uint32_t port;    // read and kept, not used
  char* cache;           // non-empty: logs go to the memory card
  char* cache_dir;       // directory below the memory card's mount point
  std::uint32_t ftpes_enabled;  // read and kept, not used
  char* tls_auth_type;          // read and kept, not used
  char* remote_url;             // read and kept, not used
  char* username;               // read and kept, not used
  char* password;               // read and kept, not used
  std::uint32_t send_period;    // minutes: release age, and pause after an upload
  std::uint32_t start_addr;     // read and kept, not used
  // How the RS-485 direction is switched: gpio (the default), kernel, rts or
  // none; an unknown word reads as gpio. The other three serve kernel only.
  char* rs485;
  std::uint32_t rs485_rts_on_send;   // 1 (the default): RTS high while sending; 0: low
  std::uint32_t rs485_delay_before;  // ms RTS is turned before the first bit
  std::uint32_t rs485_delay_after;   // ms RTS is held after the last bit
  MeterConfig meters[METER_SLOTS];
  std::uint32_t meter_count;  // consecutive slots from slot 1 with addr != 0
  LogDir log_dir;                  // opened once, after the storage is selected
  std::uint16_t* register_image;  // one zeroed slot per register word polled
  ReleasedName release;           // ready_lock and ready_name
  int serial_fd;
  std::uint32_t rs485_mode;      // 1: we switch RTS around each request
  LineDirection line_direction;  // decided at start-up, before the lock
};

// Reads all 27 keys from the settings file into the context: the plain keys
// first, then the five keys of each slot from 1 to 10. A missing file leaves
// every string "" and every number 0, but MOD_METERSCRIBE_RS485_RTS_ON_SEND,
// which is 1.
void load_settings(DaemonContext* context);

// Same, from a given path (tools and tests).
void load_settings_from(DaemonContext* context, const char* path);

// The start-up derivation: function-1 word counts, meter_count, the register
// image, ready_lock and ready_name. False after "no meters to read" or "no
// enough memory for databuf" (LOG_ERR): start-up cannot go on.
bool derive_meter_table(DaemonContext* context);

// The meters polled in each cycle: the consecutive slots from slot 1 whose
// addr is not 0, at most 10. Unlike derive_meter_table it logs nothing and
// changes nothing, so tools can explain a file with it.
unsigned count_polled_meters(const DaemonContext* context);

// The names of the keys load_settings reads, in its order: the 22 plain
// keys (the gateway's eighteen, then the four of RS-485), then the
// prefixes of the five per-slot keys, each followed by the slot number 1
// to 10 in decimal. For tools that explain the file.
constexpr unsigned PLAIN_KEY_COUNT = 22;
constexpr unsigned SLOT_KEY_COUNT = 5;
const char* plain_key_name(unsigned index);
bool plain_key_is_number(unsigned index);
const char* slot_key_prefix(unsigned index);

// The RS-485 settings as the line is opened with them; an RS485 word that
// names no control gives gpio, as a missing one does.
Rs485Setup rs485_setup_of(const DaemonContext& context);

// The line's framing and RS-485 settings, for open_modbus_line.
LineSettings line_settings_of(const DaemonContext& context);

// Releases what load_settings and derive_meter_table allocated. The daemon
// never tears its context down; tools and tests do.
void release_context(DaemonContext* context);
