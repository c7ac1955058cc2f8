#include "explain.h"

#include <array>
#include <cstring>
#include <string>
#include <strings.h>

#include "daemon/log_location.h"
#include "modbus/receive.h"
#include "modbus/rs485.h"
#include "modbus/rtu_frame.h"
#include "modbus/serial_port.h"
#include "store/storage_trim.h"
#include "sys/paths.h"

namespace {

// Modbus limits that real meters enforce: a larger request is answered
// with an exception (illegal data value), which the daemon logs as an error.
constexpr unsigned MAX_REGISTERS = 125;
constexpr unsigned MAX_COILS = 2000;
constexpr unsigned MAX_SLAVE = 247;
// Linux's serial core cuts the RTS delays of its RS-485 mode to this.
constexpr unsigned MAX_RTS_DELAY_MS = 100;

std::string slot_key(const char* prefix, unsigned slot) { return prefix + std::to_string(slot); }

bool has_key(const KeyLines& keys, const std::string& name) { return keys.find(name) != keys.end(); }

const char* function_name(std::uint32_t func) {
  switch (func) {
    case 1: return "read coils";
    case 3: return "read holding registers";
    case 4: return "read input registers";
    default: return "not a read the daemon makes";
  }
}

bool is_read(std::uint32_t func) { return func == 1 || func == 3 || func == 4; }

// The quantity the request carries: coils for function 1, else registers.
std::uint32_t configured_quantity(const MeterConfig& meter) { return meter.func == 1 ? meter.bin_count : meter.reg_count; }

void check_address(unsigned number, const MeterConfig& meter, Findings& findings) {
  unsigned sent = meter.addr & 0xFF;
  if (sent != meter.addr)
    add_finding(findings, "meter %u: address %u is sent as %u: only 8 bits fit the request", number, meter.addr, sent);
  if (sent == 0)
    add_finding(findings, "meter %u: address 0 is the broadcast address: no meter answers it", number);
  else if (sent > MAX_SLAVE)
    add_finding(findings, "meter %u: address %u is above %u, the highest slave address: no meter answers it", number,
                sent, MAX_SLAVE);
}

void check_unused_count(unsigned number, const MeterConfig& meter, const KeyLines& keys, Findings& findings) {
  std::string reg_key = slot_key("MOD_METERSCRIBE_REG_COUNT", number);
  std::string bin_key = slot_key("MOD_METERSCRIBE_BIN_COUNT", number);
  if (meter.func == 1 && has_key(keys, reg_key) && meter.reg_count != 0)
    add_finding(findings, "meter %u: %s is ignored for function 1: coils are counted by %s", number, reg_key.c_str(),
                bin_key.c_str());
  if ((meter.func == 3 || meter.func == 4) && has_key(keys, bin_key) && meter.bin_count != 0)
    add_finding(findings, "meter %u: %s is ignored for function %u: registers are counted by %s", number,
                bin_key.c_str(), meter.func, reg_key.c_str());
}

void check_quantity(unsigned number, const MeterConfig& meter, Findings& findings) {
  const char* what = meter.func == 1 ? "coils" : "registers";
  std::uint32_t quantity = configured_quantity(meter);
  std::uint32_t sent = quantity & 0xFFFF;
  unsigned maximum = meter.func == 1 ? MAX_COILS : MAX_REGISTERS;
  if (sent != quantity)
    add_finding(findings, "meter %u: %u %s are sent as %u: only 16 bits fit the request", number, quantity, what,
                sent);
  if (sent == 0)
    add_finding(findings, "meter %u: reads 0 %s: meters reject such a request", number, what);
  else if (sent > maximum)
    add_finding(findings, "meter %u: %u %s are beyond the Modbus maximum of %u: real meters reject the request",
                number, sent, what, maximum);
  std::uint32_t start = meter.start & 0xFFFF;
  if (start != meter.start)
    add_finding(findings, "meter %u: start %u is sent as %u: only 16 bits fit the request", number, meter.start,
                start);
  if (start + sent > 0x10000)
    add_finding(findings, "meter %u: %s %u to %u run past the last address 65535", number, what, start,
                start + sent - 1);
}

// Manuals and older tools number registers from 1 with the table in the
// leading digit: 30001 is the first input register, 40001 the first
// holding register. The request carries the 0-based address instead, so a
// start in those ranges most likely means start - 30001 or start - 40001.
void check_register_number(unsigned number, const MeterConfig& meter, Findings& findings) {
  if (meter.start < 30001 || meter.start > 49999 || meter.start == 40000) return;
  bool input = meter.start < 40000;
  unsigned table_function = input ? 4 : 3;
  unsigned address = meter.start - (input ? 30001 : 40001);
  std::string function_hint;
  if (meter.func != table_function)
    function_hint = ", FUNC" + std::to_string(number) + "=" + std::to_string(table_function);
  add_finding(findings,
              "meter %u: START%u=%u looks like a register number: the protocol address of %s register %u is %u "
              "(START%u=%u%s); the start goes on the wire as it is",
              number, number, meter.start, input ? "input" : "holding", meter.start, address, number, address,
              function_hint.c_str());
}

void describe_meter(FILE* out, unsigned number, const MeterConfig& meter) {
  std::fprintf(out, "  meter %-2u slave %u, function %u (%s)", number, meter.addr & 0xFF, meter.func,
               function_name(meter.func));
  std::uint32_t start = meter.start & 0xFFFF;
  std::uint32_t quantity = configured_quantity(meter) & 0xFFFF;
  if (!is_read(meter.func))
    std::fputs(": nothing is sent\n", out);
  else if (quantity == 0)
    std::fprintf(out, ", no %s\n", meter.func == 1 ? "coils" : "registers");
  else
    std::fprintf(out, ", %s %u to %u (%u)\n", meter.func == 1 ? "coils" : "registers", start, start + quantity - 1,
                 quantity);
}

void check_meter(unsigned number, const MeterConfig& meter, const KeyLines& keys, Findings& findings) {
  check_address(number, meter, findings);
  if (!is_read(meter.func)) {
    add_finding(findings,
                "meter %u: function %u is none of 1, 3, 4: the daemon sends nothing and logs "
                "\"no answer from meter %u\" every cycle",
                number, meter.func, number);
    return;
  }
  check_unused_count(number, meter, keys, findings);
  check_quantity(number, meter, findings);
  check_register_number(number, meter, findings);
}

// An ADDR of 0 is how a list is ended on purpose; any other value shows a
// slot that someone meant to use.
bool slot_has_settings(const MeterConfig& meter) {
  return meter.addr != 0 || meter.start != 0 || meter.reg_count != 0 || meter.bin_count != 0 || meter.func != 0;
}

void explain_ignored_slots(FILE* out, const DaemonContext& context, unsigned polled, Findings& findings) {
  if (polled == METER_SLOTS) return;
  unsigned end_slot = polled + 1;
  if (end_slot == METER_SLOTS)
    std::fprintf(out, "  not polled: slot 10 (MOD_METERSCRIBE_ADDR10 is 0 or missing)\n");
  else
    std::fprintf(out, "  not polled: slots %u to 10 (MOD_METERSCRIBE_ADDR%u is 0 or missing, which ends the list)\n",
                 end_slot, end_slot);
  for (unsigned slot = end_slot; slot <= METER_SLOTS; ++slot) {
    if (!slot_has_settings(context.meters[slot - 1])) continue;
    if (slot == end_slot)
      add_finding(findings, "slot %u: has settings but no address: not polled", slot);
    else
      add_finding(findings, "slot %u: has settings but is not polled: slot %u has no address and ends the list", slot,
                  end_slot);
  }
}

const char* parity_name(const char* parity) {
  if (parity[0] == 'O') return "odd parity";
  if (parity[0] == 'E') return "even parity";
  return "no parity";
}

unsigned character_bits(const DaemonContext& context) {
  unsigned data = context.databits == 7 ? 7 : 8;
  unsigned parity = context.parity[0] == 'O' || context.parity[0] == 'E' ? 1 : 0;
  unsigned stop = context.stopbits == 2 ? 2 : 1;
  return 1 + data + parity + stop;
}

// Settings the daemon replaces without a word. A missing key is the usual
// way to ask for the default; a value that is there but unusable is not.
void check_framing(const DaemonContext& context, const KeyLines& keys, Findings& findings) {
  if (has_key(keys, "MOD_METERSCRIBE_BAUDRATE") && line_speed(context.baudrate) != context.baudrate)
    add_finding(findings, "serial line: BAUDRATE %u is not a speed the daemon knows: the line runs at 9600 bit/s",
                context.baudrate);
  if (has_key(keys, "MOD_METERSCRIBE_DATABITS") && context.databits != 7 && context.databits != 8)
    add_finding(findings, "serial line: DATABITS %u: the daemon knows 7 and 8 only and uses 8", context.databits);
  if (has_key(keys, "MOD_METERSCRIBE_STOPBITS") && context.stopbits != 1 && context.stopbits != 2)
    add_finding(findings, "serial line: STOPBITS %u: the daemon knows 1 and 2 only and uses 1", context.stopbits);
  char letter = context.parity[0];
  if (letter == 'e' || letter == 'o')
    add_finding(findings, "serial line: PARITY \"%s\" begins with a lower-case letter: only a capital E or O "
                "counts, so the line runs with no parity", context.parity);
  else if (letter != '\0' && letter != 'E' && letter != 'O' && letter != 'N' && letter != 'n')
    add_finding(findings, "serial line: PARITY \"%s\" is none of E, O, N: the line runs with no parity",
                context.parity);
}

void check_device(const char* device, const char* path, Findings& findings) {
  if (device[0] == '\0')
    add_finding(findings, "serial line: no DEVICE: the daemon tries \"/dev/\" and exits at the lock or the open");
  else if (device[0] == '/')
    add_finding(findings, "serial line: DEVICE \"%s\" is a path: the daemon opens \"%s\"; name the device below "
                "/dev (such as ttyS0)", device, path);
  if (std::strpbrk(device, " \t") != nullptr)
    add_finding(findings, "serial line: DEVICE \"%s\" holds blanks, which are part of the name", device);
  if (std::strlen(path) != std::strlen("/dev/") + std::strlen(device))
    add_finding(findings, "serial line: DEVICE is too long: the path is cut to \"%s\"", path);
}

// The rest of a response must come within SPLIT ms of its first byte;
// at the line speed, a response of n bytes needs n - 1 more characters.
void check_split(const DaemonContext& context, Findings& findings) {
  unsigned speed = line_speed(context.baudrate);
  for (unsigned index = 0; index < count_polled_meters(&context); ++index) {
    const MeterConfig& meter = context.meters[index];
    std::uint32_t quantity = configured_quantity(meter) & 0xFFFF;
    if (!is_read(meter.func) || quantity == 0) continue;
    std::uint64_t bytes = 5 + (meter.func == 1 ? (quantity + 7) / 8 : quantity * 2ull);
    std::uint64_t rest_ms = ((bytes - 1) * character_bits(context) * 1000 + speed - 1) / speed;
    if (bytes <= RESPONSE_MAX && context.split < rest_ms)
      add_finding(findings,
                  "meter %u: its answer of %llu bytes needs about %llu ms after the first byte at %u bit/s, "
                  "but SPLIT is %u ms: answers can be cut short and rejected as bad CRC",
                  index + 1, static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(rest_ms),
                  speed, context.split);
  }
}

// How the direction is switched, after the device's name on its line.
std::string direction_text(const DaemonContext& context) {
  Rs485Setup setup = rs485_setup_of(context);
  switch (setup.control) {
    case Rs485Control::gpio:
      return "RS-485 wiring is asked of the GPIO driver for port " + std::to_string(port_mode_flag(context.device));
    case Rs485Control::kernel:
      return std::string("RS485=kernel: the driver's RS-485 mode switches RTS, ") +
             (setup.rts_on_send ? "high" : "low") + " while sending, " + std::to_string(setup.delay_before_ms) +
             " ms before and " + std::to_string(setup.delay_after_ms) + " ms after";
    case Rs485Control::rts: return "RS485=rts: the daemon switches RTS around each request; no GPIO driver asked";
    case Rs485Control::none: return "RS485=none: no direction switching; no GPIO driver asked";
  }
  return "";
}

void check_kernel_delays(const DaemonContext& context, Findings& findings) {
  const struct {
    const char* name;
    std::uint32_t ms;
  } delays[] = {{"RS485_DELAY_BEFORE", context.rs485_delay_before}, {"RS485_DELAY_AFTER", context.rs485_delay_after}};
  for (const auto& delay : delays)
    if (delay.ms > MAX_RTS_DELAY_MS)
      add_finding(findings, "serial line: %s %u ms: Linux cuts an RTS delay to %u ms (a driver without delays to 0)",
                  delay.name, delay.ms, MAX_RTS_DELAY_MS);
}

void check_kernel_only_keys(const DaemonContext& context, Rs485Control control, Findings& findings) {
  const struct {
    const char* name;
    bool given;
  } kernel_only[] = {{"RS485_RTS_ON_SEND", context.rs485_rts_on_send != 1},
                     {"RS485_DELAY_BEFORE", context.rs485_delay_before != 0},
                     {"RS485_DELAY_AFTER", context.rs485_delay_after != 0}};
  for (const auto& key : kernel_only)
    if (key.given)
      add_finding(findings, "serial line: %s is set, but only RS485=kernel uses it: ignored with RS485=%s", key.name,
                  rs485_control_name(control));
}

// USB serial drivers offer neither the kernel's RS-485 mode nor the line
// status that tells when the last bit has gone.
void check_usb_direction(const char* device, Rs485Control control, Findings& findings) {
  bool usb = std::strncmp(device, "ttyUSB", 6) == 0 || std::strncmp(device, "ttyACM", 6) == 0 ||
             std::strncmp(device, "serial/by-id/usb-", 17) == 0;
  if (usb && control == Rs485Control::kernel)
    add_finding(findings, "serial line: RS485=kernel on %s: USB serial drivers have no RS-485 mode, so the daemon "
                "exits at start-up; an adapter that turns itself around needs RS485=none", device);
  if (usb && control == Rs485Control::rts)
    add_finding(findings, "serial line: RS485=rts on %s: USB serial drivers do not tell when the last bit has gone, "
                "so RTS turns back before the request is out; an adapter that turns itself around needs RS485=none",
                device);
}

// The RS-485 settings that are read differently from how they look: an
// unknown control, what only the kernel's mode uses given for another,
// and a control that cannot work on a USB adapter.
void check_rs485(const DaemonContext& context, const KeyLines& keys, Findings& findings) {
  Rs485Control control = Rs485Control::gpio;
  if (!rs485_control_named(context.rs485, control))
    add_finding(findings, "serial line: RS485 \"%s\" is none of gpio, kernel, rts, none: the daemon asks the GPIO "
                "driver, as without the setting", context.rs485);
  if (has_key(keys, "MOD_METERSCRIBE_RS485_RTS_ON_SEND") && context.rs485_rts_on_send > 1)
    add_finding(findings, "serial line: RS485_RTS_ON_SEND %u is neither 0 nor 1: read as 1, RTS high while sending",
                context.rs485_rts_on_send);
  if (control == Rs485Control::kernel)
    check_kernel_delays(context, findings);
  else
    check_kernel_only_keys(context, control, findings);
  check_usb_direction(context.device, control, findings);
}

}  // namespace

void explain_meters(FILE* out, const DaemonContext& context, const KeyLines& keys, Findings& findings) {
  unsigned polled = count_polled_meters(&context);
  std::fprintf(out, "Meters polled in each cycle: %u\n", polled);
  if (polled == 0)
    add_finding(findings, "meters: slot 1 has no address: the daemon logs \"no meters to read\" and exits");
  for (unsigned index = 0; index < polled; ++index) {
    describe_meter(out, index + 1, context.meters[index]);
    check_meter(index + 1, context.meters[index], keys, findings);
  }
  explain_ignored_slots(out, context, polled, findings);
}

void explain_serial_line(FILE* out, const DaemonContext& context, const KeyLines& keys, Findings& findings) {
  std::array<char, PATH_SIZE> path;
  snprintf(path.data(), path.size(), "/dev/%s", context.device);
  std::fprintf(out, "\nSerial line\n");
  std::fprintf(out, "  device   %s (%s)\n", path.data(), direction_text(context).c_str());
  std::fprintf(out, "  framing  %u bit/s, %u data bits, %s, %u stop bit%s\n", line_speed(context.baudrate),
               context.databits == 7 ? 7u : 8u, parity_name(context.parity), context.stopbits == 2 ? 2u : 1u,
               context.stopbits == 2 ? "s" : "");
  std::fprintf(out, "  timing   1 s for the first byte of an answer, %u ms for the rest (SPLIT); %u s between "
               "cycles (PERIOD)\n", context.split, context.period);
  check_device(context.device, path.data(), findings);
  check_framing(context, keys, findings);
  check_rs485(context, keys, findings);
  check_split(context, findings);
}

namespace {

// The log directory as the daemon composes it, whole, without the root:
// the file is explained as it reads on the gateway.
std::string log_dir_text(const DaemonContext& context) {
  std::string whole(write_log_dir_path(context, nullptr, 0), '\0');
  write_log_dir_path(context, whole.data(), whole.size() + 1);
  return whole.substr(root_length());
}

}  // namespace

namespace {

// Volatile logs on a disk wear the flash and fill it while RAM, by which the
// daemon measures them, stays free. Said only of a directory that is there:
// a missing one is the daemon's exit, explained below.
void check_volatile_on_ram(Findings& findings) {
  PathBuffer volatile_dir;
  rooted_path(volatile_dir.data(), volatile_dir.size(), VOLATILE_LOG_DIR);
  bool on_ram = true;
  if (on_ram_file_system(volatile_dir.data(), &on_ram) && !on_ram)
    add_finding(findings,
                "storage: %s is not on a RAM file system (tmpfs or ramfs): the volatile logs go to flash; "
                "var-meterscribe-voldata.mount puts a tmpfs there (systemctl start var-meterscribe-voldata.mount)",
                VOLATILE_LOG_DIR);
}

}  // namespace

void explain_storage(FILE* out, const DaemonContext& context, Findings& findings) {
  std::fprintf(out, "\nStorage\n");
  if (context.cache[0] == '\0') {
    std::fprintf(out, "  volatile storage (CACHE is empty): log files in %s; memCard umount at start-up\n",
                 VOLATILE_LOG_DIR);
    if (context.cache_dir[0] != '\0')
      add_finding(findings, "storage: CACHE_DIR is \"%s\" but CACHE is empty: the memory card is not used",
                  context.cache_dir);
    check_volatile_on_ram(findings);
  } else {
    std::string log_dir = log_dir_text(context);
    std::fprintf(out, "  memory card (CACHE is \"%s\"): memCard mount at start-up, log files in %s\n",
                 context.cache, log_dir.c_str());
    if (std::strcmp(context.cache, "0") == 0 || strcasecmp(context.cache, "no") == 0 ||
        strcasecmp(context.cache, "off") == 0 || strcasecmp(context.cache, "false") == 0)
      add_finding(findings, "storage: CACHE is \"%s\": any text that is not empty selects the memory card",
                  context.cache);
    if (context.cache_dir[0] == '\0')
      add_finding(findings, "storage: CACHE_DIR is empty: log files go to the card's mount point %s/ itself",
                  MEMCARD_LOG_DIR);
    if (!log_dir_path_fits(root_length() + log_dir.size()))
      add_finding(findings,
                  "storage: CACHE_DIR is too long: the log directory %s has %zu characters, more than the %zu "
                  "the daemon has room for: it refuses to start",
                  log_dir.c_str(), log_dir.size(), LOG_DIR_SIZE - 1);
  }
  std::fprintf(out, "  the directory must exist: the daemon creates none and exits without it\n");
  std::fprintf(out, "  a log file is released for upload when it is %u minutes old (SEND_PERIOD)\n",
               context.send_period);
}
