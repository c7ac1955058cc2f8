/* A Modbus RTU master as an integrator would write it with libmodbus: the
 * comparison point of scripts/bench-daemon.
 *
 * It polls the same meters on the same serial device for a number of
 * cycles without pause, sends each request raw (libmodbus adds the CRC),
 * takes the whole answer with modbus_receive_confirmation (which checks the
 * CRC and knows the expected length, so it never waits for more bytes) and
 * appends one line per valid answer in the daemon's format:
 * "m<i>:YYYY-MM-DD-hh-mm-ss:" and "%02x " per byte of the answer.
 * Unlike the daemon it writes one fixed file, never looks at a directory,
 * and keeps no lock file.
 *
 * Usage: baseline_master DEVICE OUTPUT CYCLES per-line|kept-open ADDR:FUNC:START:COUNT...
 *   per-line   opens the file for appending and closes it for every line
 *   kept-open  keeps the file open and flushes it after every line
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <modbus.h>

struct meter {
  int addr, func, start, count;
};

static void append_line(FILE *file, int index, const uint8_t *bytes, int length) {
  time_t now = time(NULL);
  struct tm local;
  localtime_r(&now, &local);
  fprintf(file, "m%d:%04d-%02d-%02d-%02d-%02d-%02d:", index, local.tm_year + 1900, local.tm_mon + 1,
          local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  for (int i = 0; i < length; ++i) fprintf(file, "%02x ", bytes[i]);
  fputc('\n', file);
}

static int poll_meter(modbus_t *bus, const struct meter *m, uint8_t *answer) {
  uint8_t request[6] = {(uint8_t)m->addr, (uint8_t)m->func, (uint8_t)(m->start >> 8), (uint8_t)m->start,
                        (uint8_t)(m->count >> 8), (uint8_t)m->count};
  modbus_set_slave(bus, m->addr);
  if (modbus_send_raw_request(bus, request, 6) < 0) return -1;
  return modbus_receive_confirmation(bus, answer);
}

int main(int argc, char **argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: %s DEVICE OUTPUT CYCLES per-line|kept-open ADDR:FUNC:START:COUNT...\n", argv[0]);
    return 2;
  }
  int keep_open = strcmp(argv[4], "kept-open") == 0;
  long cycles = strtol(argv[3], NULL, 10);
  int meter_count = argc - 5;
  struct meter meters[10];
  if (meter_count > 10) meter_count = 10;
  for (int i = 0; i < meter_count; ++i) {
    if (sscanf(argv[5 + i], "%d:%d:%d:%d", &meters[i].addr, &meters[i].func, &meters[i].start, &meters[i].count) != 4) {
      fprintf(stderr, "bad meter %s\n", argv[5 + i]);
      return 2;
    }
  }
  modbus_t *bus = modbus_new_rtu(argv[1], 9600, 'N', 8, 1);
  if (bus == NULL || modbus_connect(bus) != 0) {
    fprintf(stderr, "cannot open %s: %s\n", argv[1], modbus_strerror(errno));
    return 1;
  }
  /* An answer to whoever used the line before must not be read as ours,
   * and after a bad frame the line is flushed again. */
  modbus_flush(bus);
  modbus_set_error_recovery(bus, MODBUS_ERROR_RECOVERY_PROTOCOL);
  modbus_set_response_timeout(bus, 1, 0);
  FILE *file = keep_open ? fopen(argv[2], "a") : NULL;
  uint8_t answer[MODBUS_RTU_MAX_ADU_LENGTH];
  long valid = 0;
  for (long cycle = 0; cycle < cycles; ++cycle) {
    for (int i = 0; i < meter_count; ++i) {
      int length = poll_meter(bus, &meters[i], answer);
      if (length <= 0) continue;
      FILE *out = keep_open ? file : fopen(argv[2], "a");
      if (out == NULL) continue;
      append_line(out, i, answer, length);
      if (keep_open) fflush(out);
      else fclose(out);
      ++valid;
    }
  }
  if (file != NULL) fclose(file);
  modbus_close(bus);
  modbus_free(bus);
  fprintf(stderr, "%ld valid answers\n", valid);
  return 0;
}
