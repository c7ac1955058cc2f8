#include "daemon/context.h"

#include <cstdlib>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "sys/log.h"
#include "support/temp_root.h"

namespace {

class ContextTest : public TempRootTest {
 protected:
  void TearDown() override { release_context(&context); }
  DaemonContext context{};
};

TEST_F(ContextTest, LoadsEveryKeyAndDefaultsTheMissingOnes) {
  root.write_settings(
      "MOD_METERSCRIBE_ENABLED=1\nMOD_METERSCRIBE_DEVICE=\"ttyS1\"\nMOD_METERSCRIBE_BAUDRATE=19200\n"
      "MOD_METERSCRIBE_DATABITS=8\nMOD_METERSCRIBE_PARITY=E\nMOD_METERSCRIBE_STOPBITS=1\n"
      "MOD_METERSCRIBE_SPLIT=50\nMOD_METERSCRIBE_PERIOD=10\nMOD_METERSCRIBE_PORT=502\n"
      "MOD_METERSCRIBE_CACHE=sd\nMOD_METERSCRIBE_CACHE_DIR=logs\nMOD_METERSCRIBE_FTPES_ENABLED=1\n"
      "MOD_METERSCRIBE_TLS_AUTH_TYPE=cert\nMOD_METERSCRIBE_REMOTE_URL=ftp://h/\n"
      "MOD_METERSCRIBE_USERNAME=u\nMOD_METERSCRIBE_PASSWORD=\"p w\"\nMOD_METERSCRIBE_SEND_PERIOD=15\n"
      "MOD_METERSCRIBE_START_ADDR=abc\nMOD_METERSCRIBE_RS485=kernel\nMOD_METERSCRIBE_RS485_RTS_ON_SEND=0\n"
      "MOD_METERSCRIBE_RS485_DELAY_BEFORE=2\nMOD_METERSCRIBE_RS485_DELAY_AFTER=3\n"
      "MOD_METERSCRIBE_ADDR1=5\nMOD_METERSCRIBE_START1=100\nMOD_METERSCRIBE_REG_COUNT1=10\n"
      "MOD_METERSCRIBE_BIN_COUNT1=3\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_ADDR10=9\n");
  load_settings(&context);
  EXPECT_EQ(context.enabled, 1u);
  EXPECT_STREQ(context.device, "ttyS1");
  EXPECT_EQ(context.baudrate, 19200u);
  EXPECT_EQ(context.databits, 8u);
  EXPECT_STREQ(context.parity, "E");
  EXPECT_EQ(context.stopbits, 1u);
  EXPECT_EQ(context.split, 50u);
  EXPECT_EQ(context.period, 10u);
  EXPECT_EQ(context.port, 502u);
  EXPECT_STREQ(context.cache, "sd");
  EXPECT_STREQ(context.cache_dir, "logs");
  EXPECT_EQ(context.ftpes_enabled, 1u);
  EXPECT_STREQ(context.tls_auth_type, "cert");
  EXPECT_STREQ(context.remote_url, "ftp://h/");
  EXPECT_STREQ(context.username, "u");
  EXPECT_STREQ(context.password, "p w");
  EXPECT_EQ(context.send_period, 15u);
  EXPECT_EQ(context.start_addr, 0u);
  EXPECT_STREQ(context.rs485, "kernel");
  EXPECT_EQ(context.rs485_rts_on_send, 0u);
  EXPECT_EQ(context.rs485_delay_before, 2u);
  EXPECT_EQ(context.rs485_delay_after, 3u);
  EXPECT_EQ(context.meters[0].addr, 5u);
  EXPECT_EQ(context.meters[0].start, 100u);
  EXPECT_EQ(context.meters[0].reg_count, 10u);
  EXPECT_EQ(context.meters[0].bin_count, 3u);
  EXPECT_EQ(context.meters[0].func, 3u);
  EXPECT_EQ(context.meters[9].addr, 9u);  // slot 10 reads ADDR10, not ADDR1 + "0"
  EXPECT_EQ(context.meters[1].addr, 0u);
}

TEST_F(ContextTest, MissingFileLeavesEveryFieldAtItsDefault) {
  load_settings(&context);
  EXPECT_STREQ(context.device, "");
  EXPECT_STREQ(context.password, "");
  EXPECT_EQ(context.baudrate, 0u);
  EXPECT_EQ(context.meters[0].addr, 0u);
  // The one number that is not 0 without its key: RTS high while sending.
  EXPECT_EQ(context.rs485_rts_on_send, 1u);
  Rs485Setup setup = rs485_setup_of(context);
  EXPECT_EQ(setup.control, Rs485Control::gpio);
  EXPECT_TRUE(setup.rts_on_send);
}

TEST_F(ContextTest, CountsConsecutiveMetersAndFillsCoilWords) {
  struct Slot {
    std::uint32_t addr, func, reg_count, bin_count;
  };
  struct Case {
    std::vector<Slot> slots;
    std::uint32_t meter_count;
    std::vector<std::uint32_t> reg_counts;
  } cases[] = {
      {{{5, 3, 4, 0}, {0, 3, 4, 0}, {7, 3, 4, 0}}, 1, {4}},
      {{{1, 1, 99, 0}, {2, 1, 99, 1}, {3, 1, 99, 16}, {4, 1, 99, 17}}, 4, {0, 1, 1, 2}},
      {std::vector<Slot>(10, Slot{1, 4, 2, 0}), 10, std::vector<std::uint32_t>(10, 2)},
  };
  for (const Case& c : cases) {
    DaemonContext derived{};
    for (std::size_t i = 0; i < c.slots.size(); ++i)
      derived.meters[i] = {c.slots[i].addr, 0, c.slots[i].reg_count, c.slots[i].bin_count, c.slots[i].func};
    ASSERT_TRUE(derive_meter_table(&derived));
    EXPECT_EQ(derived.meter_count, c.meter_count);
    for (std::size_t i = 0; i < c.reg_counts.size(); ++i) EXPECT_EQ(derived.meters[i].reg_count, c.reg_counts[i]) << i;
    EXPECT_STREQ(derived.release.ready_name, "");
    release_context(&derived);
  }
}

TEST_F(ContextTest, RegisterImageHoldsOneZeroedSlotPerWord) {
  context.meters[0] = {1, 0, 3, 0, 3};
  context.meters[1] = {2, 0, 5, 0, 4};
  ASSERT_TRUE(derive_meter_table(&context));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(context.register_image[i], 0) << i;
  EXPECT_EQ(pthread_mutex_lock(&context.release.ready_lock), 0);
  pthread_mutex_unlock(&context.release.ready_lock);
}

// In a death test the child's messages go to standard error, where the
// matcher sees them.
void print_errors_on_stderr() {
  log_set_capture([](int level, const char* text) {
    if (level == LOG_ERR) fprintf(stderr, "%s\n", text);
  });
}

// The derivation reports; the entry point turns a failure into exit 1, as
// the child does here.
TEST_F(ContextTest, NoMeterEndsTheProcessWithStatusOne) {
  EXPECT_EXIT(
      {
        print_errors_on_stderr();
        DaemonContext empty{};
        empty.meters[1].addr = 7;  // a later slot does not count without slot 1
        std::exit(derive_meter_table(&empty) ? 0 : 1);
      },
      ::testing::ExitedWithCode(1), "no meters to read");
}

void derive_under_small_address_space() {
  rlimit limit{};
  getrlimit(RLIMIT_AS, &limit);
  limit.rlim_cur = 512ull << 20;
  setrlimit(RLIMIT_AS, &limit);
  DaemonContext huge{};
  for (MeterConfig& meter : huge.meters) meter = MeterConfig{1, 0, 4294967295u, 0, 3};
  print_errors_on_stderr();
  std::exit(derive_meter_table(&huge) ? 0 : 1);
}

TEST_F(ContextTest, AnImageThatCannotBeAllocatedEndsTheProcess) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit under a lowered RLIMIT_AS";
#endif
  // Ten meters of 4294967295 words cannot be had under a small address-space
  // limit; the process must say so and exit, not crash.
  EXPECT_EXIT(derive_under_small_address_space(), ::testing::ExitedWithCode(1), "no enough memory for databuf");
}

}  // namespace
