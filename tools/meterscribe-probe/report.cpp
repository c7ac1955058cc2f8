#include "report.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <string>

#include "modbus/receive.h"

namespace {

struct VerdictName {
  const char* text;  // for a person
  const char* key;   // for JSON
};

// Indexed by Verdict.
constexpr VerdictName VERDICT_NAMES[] = {
    {"ok", "ok"},
    {"not sent", "not_sent"},
    {"no answer", "no_answer"},
    {"too short", "too_short"},
    {"bad CRC", "bad_crc"},
    {"wrong slave or function", "wrong_slave_or_function"},
    {"exception", "exception"},
    {"unexpected length", "unexpected_length"},
};
constexpr unsigned VERDICT_COUNT = sizeof VERDICT_NAMES / sizeof VERDICT_NAMES[0];

const VerdictName& name_of(Verdict verdict) { return VERDICT_NAMES[static_cast<unsigned>(verdict)]; }

// printf into a std::string; every pattern here gives a short text.
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* pattern, ...) {
  std::array<char, 256> text{};
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text.data(), text.size(), pattern, args);
  va_end(args);
  return text.data();
}

std::string number_text(double value) { return format("%.10g", value); }

std::string json_string(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      quoted += format("\\u%04x", static_cast<unsigned>(c));
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

// JSON has no NaN or infinity.
std::string json_number(double value) { return std::isfinite(value) ? number_text(value) : "null"; }

std::string hex_bytes(const Exchange& exchange) {
  std::string text;
  for (unsigned k = 0; k < exchange.count; ++k) text += format(k == 0 ? "%02x" : " %02x", exchange.bytes[k]);
  return text;
}

const char* table_name(std::uint32_t function) {
  switch (function) {
    case 1: return "coils";
    case 2: return "discrete inputs";
    case 3: return "holding registers";
    case 4: return "input registers";
    default: return "function";
  }
}

bool reads_bits(const MeterConfig& meter) { return meter.func == 1 || meter.func == 2; }

// What the request asks for, cut to the widths of the frame as it is sent.
std::uint32_t quantity_of(const MeterConfig& meter) {
  return (reads_bits(meter) ? meter.bin_count : meter.reg_count) & 0xFFFF;
}

std::string range_text(const MeterConfig& meter) {
  std::uint32_t start = meter.start & 0xFFFF;
  std::uint32_t quantity = quantity_of(meter);
  if (meter.func < 1 || meter.func > 4) return format("function %u", meter.func);
  if (quantity == 0) return format("no %s from %u", table_name(meter.func), start);
  return format("%s %u-%u", table_name(meter.func), start, start + quantity - 1);
}

std::uint16_t received_crc(const Exchange& exchange) {
  return static_cast<std::uint16_t>(exchange.bytes[exchange.count - 2] | exchange.bytes[exchange.count - 1] << 8);
}

std::string verdict_text(const MeterConfig& meter, const Exchange& exchange) {
  const std::uint8_t* bytes = exchange.bytes;
  switch (exchange.verdict) {
    case Verdict::ok: return "ok";
    case Verdict::not_sent: return format("not sent: function %u is none of 1, 3, 4", meter.func);
    case Verdict::no_answer:
      if (exchange.first_byte_wait_ms % 1000 == 0) return format("no answer within %u s", exchange.first_byte_wait_ms / 1000);
      return format("no answer within %u ms", exchange.first_byte_wait_ms);
    case Verdict::too_short: return format("too short (%u bytes, %u expected)", exchange.count, expected_answer_size(meter));
    case Verdict::bad_crc:
      return format("bad CRC (received 0x%04x, computed 0x%04x)", received_crc(exchange),
                    modbus_crc16(bytes, exchange.count - 2));
    case Verdict::wrong_slave_or_function:
      return format("wrong slave or function (answer from slave %u, function %u)", bytes[0], bytes[1]);
    case Verdict::exception: return format("exception %u (%s)", bytes[2], exception_meaning(bytes[2]));
    case Verdict::unexpected_length:
      return format("unexpected length (%u bytes, %u expected)", exchange.count, expected_answer_size(meter));
  }
  return "";
}

// A value as read from an answer: its name (a register or coil address
// without a map) and its text.
struct ValueText {
  std::string name;
  std::string value;  // a JSON number
  std::string unit;
};

std::vector<ValueText> coil_values(const MeterConfig& meter, const Exchange& exchange) {
  std::vector<ValueText> values;
  std::uint32_t start = meter.start & 0xFFFF;
  for (unsigned k = 0; k < quantity_of(meter); ++k) {
    unsigned bit = (static_cast<unsigned>(exchange.bytes[3 + k / 8]) >> (k % 8)) & 1u;
    values.push_back({std::to_string(start + k), bit != 0 ? "1" : "0", ""});
  }
  return values;
}

std::vector<ValueText> register_values(unsigned meter_number, const MeterConfig& meter, const Exchange& exchange,
                                       const RegisterMap* map) {
  std::vector<ValueText> values;
  std::uint32_t start = meter.start & 0xFFFF;
  const std::uint8_t* data = exchange.bytes + 3;
  unsigned registers = exchange.bytes[2] / 2u;
  if (map != nullptr) {
    for (const Reading& reading : readings_of(*map, meter_number, meter.func & 0xFF, start, data, registers))
      values.push_back({reading.value->name, json_number(reading.scaled), reading.value->unit});
    if (!values.empty()) return values;
  }
  for (std::size_t k = 0; k < registers; ++k)
    values.push_back({std::to_string(start + k), std::to_string(data[2 * k] << 8 | data[2 * k + 1]), ""});
  return values;
}

// The values of a correct answer: coils as bits, registers through the map
// where it names any of this meter's, else as unsigned 16-bit words.
// Discrete inputs come packed as coils do.
std::vector<ValueText> values_of(unsigned meter_number, const MeterConfig& meter, const Exchange& exchange,
                                 const RegisterMap* map) {
  if (exchange.verdict != Verdict::ok) return {};
  unsigned map_meter = meter_number != 0 ? meter_number : 1;
  return reads_bits(meter) ? coil_values(meter, exchange) : register_values(map_meter, meter, exchange, map);
}

// "meter 2: " for a configured meter, "9600 8E1: " for a scan's answer.
std::string text_head(unsigned meter_number, const Framing* framing) {
  if (framing != nullptr) return framing_text(*framing) + ": ";
  return meter_number != 0 ? format("meter %u: ", meter_number) : std::string();
}

std::string json_head(unsigned meter_number, const Framing* framing) {
  std::string head = meter_number != 0 ? format("{\"meter\":%u", meter_number) : std::string("{\"meter\":null");
  if (framing != nullptr)
    head += format(",\"baud\":%u,\"parity\":\"%s\",\"stop_bits\":%u", framing->baud, framing->parity,
                   framing->stop_bits);
  return head;
}

void print_text(FILE* out, const std::string& head, const MeterConfig& meter, const Exchange& exchange,
                const std::vector<ValueText>& values) {
  std::string line = head + format("slave %u, function %u, ", meter.addr & 0xFF, meter.func & 0xFF) +
                     range_text(meter) + ": " + verdict_text(meter, exchange);
  if (exchange.count > 0) {
    line += format("; first byte %.1f ms, last %.1f ms", exchange.first_byte_ms, exchange.last_byte_ms);
    line += "; bytes " + hex_bytes(exchange);
  }
  if (!values.empty()) line += "; values";
  for (std::size_t k = 0; k < values.size(); ++k) {
    line += (k == 0 ? " " : ", ") + values[k].name + "=" + (values[k].value == "null" ? "nan" : values[k].value);
    if (!values[k].unit.empty()) line += " " + values[k].unit;
  }
  for (const std::string& note : exchange.notes) line += "; note: " + note;
  std::fprintf(out, "%s\n", line.c_str());
}

// The fields that say what went wrong, beyond the verdict's name.
std::string json_details(const MeterConfig& meter, const Exchange& exchange) {
  const std::uint8_t* bytes = exchange.bytes;
  switch (exchange.verdict) {
    case Verdict::bad_crc:
      return format(",\"crc_received\":\"0x%04x\",\"crc_computed\":\"0x%04x\"", received_crc(exchange),
                    modbus_crc16(bytes, exchange.count - 2));
    case Verdict::exception:
      return format(",\"exception_code\":%u,\"exception\":", bytes[2]) + json_string(exception_meaning(bytes[2]));
    case Verdict::wrong_slave_or_function:
      return format(",\"answer_slave\":%u,\"answer_function\":%u", bytes[0], bytes[1]);
    case Verdict::too_short:
    case Verdict::unexpected_length: return format(",\"expected_bytes\":%u", expected_answer_size(meter));
    default: return "";
  }
}

void print_json(FILE* out, const std::string& head, const MeterConfig& meter, const Exchange& exchange,
                const std::vector<ValueText>& values) {
  std::string line = head +
                     format(",\"slave\":%u,\"function\":%u,\"start\":%u,\"count\":%u,\"verdict\":",
                            meter.addr & 0xFF, meter.func & 0xFF, meter.start & 0xFFFF, quantity_of(meter)) +
                     json_string(name_of(exchange.verdict).key) + json_details(meter, exchange);
  bool answered = exchange.count > 0;
  line += ",\"first_byte_ms\":" + (answered ? format("%.3f", exchange.first_byte_ms) : std::string("null"));
  line += ",\"last_byte_ms\":" + (answered ? format("%.3f", exchange.last_byte_ms) : std::string("null"));
  line += ",\"bytes\":" + json_string(hex_bytes(exchange)) + ",\"values\":[";
  for (std::size_t k = 0; k < values.size(); ++k) {
    line += (k == 0 ? "{\"name\":" : ",{\"name\":") + json_string(values[k].name) + ",\"value\":" + values[k].value;
    line += ",\"unit\":" + json_string(values[k].unit) + "}";
  }
  line += "],\"notes\":[";
  for (std::size_t k = 0; k < exchange.notes.size(); ++k) line += (k == 0 ? "" : ",") + json_string(exchange.notes[k]);
  std::fprintf(out, "%s]}\n", line.c_str());
}

struct Spread {
  double min, median, max;
};

Spread spread_of(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  std::size_t n = times.size();
  double median = n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
  return {times.front(), median, times.back()};
}

void print_summary_text(FILE* out, unsigned meter_number, const MeterTally& tally) {
  unsigned failures = tally.polls - tally.answers;
  std::string line = format("meter %u summary: %u polls, %u answers, %u failures", meter_number, tally.polls,
                            tally.answers, failures);
  std::string kinds;
  for (unsigned v = 1; v < VERDICT_COUNT; ++v)
    if (tally.by_verdict[v] != 0) kinds += format(kinds.empty() ? "%s %u" : ", %s %u", VERDICT_NAMES[v].text, tally.by_verdict[v]);
  if (!kinds.empty()) line += " (" + kinds + ")";
  if (!tally.answer_times_ms.empty()) {
    Spread spread = spread_of(tally.answer_times_ms);
    line += format("; request to last byte: min %.1f ms, median %.1f ms, max %.1f ms", spread.min, spread.median,
                   spread.max);
  }
  std::fprintf(out, "%s\n", line.c_str());
}

void print_summary_json(FILE* out, unsigned meter_number, const MeterTally& tally) {
  std::string line = format("{\"summary\":true,\"meter\":%u,\"polls\":%u,\"answers\":%u,\"failures\":%u,\"by_verdict\":{",
                            meter_number, tally.polls, tally.answers, tally.polls - tally.answers);
  bool first = true;
  for (unsigned v = 1; v < VERDICT_COUNT; ++v) {
    if (tally.by_verdict[v] == 0) continue;
    line += (first ? "" : ",") + json_string(VERDICT_NAMES[v].key) + format(":%u", tally.by_verdict[v]);
    first = false;
  }
  line += "},\"last_byte_ms\":";
  if (tally.answer_times_ms.empty()) {
    line += "null";
  } else {
    Spread spread = spread_of(tally.answer_times_ms);
    line += format("{\"min\":%.3f,\"median\":%.3f,\"max\":%.3f}", spread.min, spread.median, spread.max);
  }
  std::fprintf(out, "%s}\n", line.c_str());
}

}  // namespace

const char* parity_letter(const char* parity) { return parity[0] == 'e' ? "E" : parity[0] == 'o' ? "O" : "N"; }

std::string framing_text(const Framing& framing) {
  return format("%u 8%s%u", framing.baud, parity_letter(framing.parity), framing.stop_bits);
}

const char* exception_meaning(unsigned code) {
  switch (code) {
    case 1: return "illegal function";
    case 2: return "illegal data address";
    case 3: return "illegal data value";
    case 4: return "server device failure";
    case 5: return "acknowledge";
    case 6: return "server device busy";
    case 8: return "memory parity error";
    case 10: return "gateway path unavailable";
    case 11: return "gateway target failed to respond";
    default: return "unknown exception";
  }
}

void print_exchange(FILE* out, unsigned meter_number, const MeterConfig& meter, const Exchange& exchange,
                    const ReportOptions& options, const Framing* framing) {
  std::vector<ValueText> values = values_of(meter_number, meter, exchange, options.map);
  if (options.json) {
    print_json(out, json_head(meter_number, framing), meter, exchange, values);
  } else {
    print_text(out, text_head(meter_number, framing), meter, exchange, values);
  }
}

void count_exchange(MeterTally& tally, const Exchange& exchange) {
  ++tally.polls;
  if (exchange.verdict != Verdict::ok) {
    ++tally.by_verdict[static_cast<unsigned>(exchange.verdict)];
    return;
  }
  ++tally.answers;
  tally.answer_times_ms.push_back(exchange.last_byte_ms);
}

void print_summary(FILE* out, unsigned meter_number, const MeterTally& tally, const ReportOptions& options) {
  if (options.json) {
    print_summary_json(out, meter_number, tally);
  } else {
    print_summary_text(out, meter_number, tally);
  }
}

void print_scan_summary(FILE* out, const ScanTally& tally, bool json) {
  if (json) {
    std::fprintf(out, "{\"summary\":true,\"asked\":%u,\"answered\":%u,\"other_replies\":%u,\"seconds\":%.3f,"
                 "\"stopped\":%s}\n", tally.asked, tally.answered, tally.other_replies, tally.seconds,
                 tally.stopped ? "true" : "false");
    return;
  }
  std::fprintf(out, "scan%s: %u asked, %u answered, %u other replies (noise, or another slave's frame); %.1f s\n",
               tally.stopped ? " stopped" : "", tally.asked, tally.answered, tally.other_replies, tally.seconds);
}
