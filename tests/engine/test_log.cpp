// The log sink: a host's callback may change the sink from inside a line,
// and once vclone_log_set returns the old callback is never called again.
#include "util/log.h"
#include "vclone.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Lines {
  std::vector<std::string> seen;
};

void collect(int32_t, const char *line, void *user_data) {
  static_cast<Lines *>(user_data)->seen.emplace_back(line);
}

// Switches the sink to `collect` from inside its own first line.
void switch_sink(int32_t, const char *, void *user_data) {
  vclone_log_set(collect, user_data);
  log_line(kLogInfo, "logged from inside a callback");
}

}  // namespace

TEST(Log, ACallbackMayChangeTheSink) {
  Lines lines;
  vclone_log_set(switch_sink, &lines);
  log_line(kLogInfo, "first");  // used to deadlock on the sink's mutex
  log_line(kLogInfo, "second\n");
  vclone_log_set(nullptr, nullptr);
  EXPECT_EQ(lines.seen, (std::vector<std::string>{"logged from inside a callback", "second"}));
}

// A line being delivered on another thread finishes before vclone_log_set
// returns, so the host may free the old callback's data right after it.
TEST(Log, ChangingTheSinkWaitsForLinesInDelivery) {
  struct Slow {
    std::atomic<bool> inside{false};
    std::atomic<bool> done{false};
  } slow;
  auto slow_callback = [](int32_t, const char *, void *user_data) {
    auto *s = static_cast<Slow *>(user_data);
    s->inside = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    s->done = true;
  };
  vclone_log_set(slow_callback, &slow);
  std::thread logger([] { log_line(kLogInfo, "slow line"); });
  while (!slow.inside) std::this_thread::yield();
  vclone_log_set(nullptr, nullptr);
  EXPECT_TRUE(slow.done);
  logger.join();
}
