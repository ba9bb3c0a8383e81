// Microbenchmarks: the review of one record on a realistic mix, the
// duplicate lookup against a full table, and the date stamp of announced
// records.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "files/announce.h"
#include "records/review.h"
#include "tools/wptool/generate.h"
#include "util/date_stamp.h"
#include "util/output_buffer.h"

namespace {

std::vector<WpRecord> realistic_mix(int n) {
  std::vector<WpRecord> records(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i)
    generate_record(1, i, kDefaultGenerateNow, &records[static_cast<std::size_t>(i)]);
  return records;
}

void fill_table(DuplicateFilter& duplicates, bool full_table) {
  duplicates.reset();
  duplicates.fill = 0;
  if (full_table) {
    char call[8];
    for (int i = 0; i < kDuplicateSlots; ++i) {
      std::snprintf(call, sizeof call, "ZZ%dZZ", i % 10);
      call[0] = static_cast<char>('A' + i / 26 % 26);
      call[1] = static_cast<char>('A' + i % 26);
      duplicates.add(call);
    }
  }
}

void review_mix(benchmark::State& state) {
  static DuplicateFilter duplicates;
  fill_table(duplicates, state.range(0) != 0);
  std::int32_t total = 0;
  std::int32_t update_lines = 0;
  Announcer announcer;
  static char buffer[1 << 16];
  std::FILE* null_file = std::fopen("/dev/null", "w");
  announcer.messages = make_output(fileno(null_file), buffer, sizeof buffer);
  announcer.update_lines = &update_lines;
  const ReviewInputs in = {
      true,   kDefaultGenerateNow - 40 * 86400, kDefaultGenerateNow - 90 * 86400, &duplicates,
      &total, announcement_sink(announcer)};
  std::vector<WpRecord> source = realistic_mix(4096);
  std::FILE* err = stderr;
  stderr = std::fopen("/dev/null", "w");  // duplicate messages
  std::size_t i = 0;
  for (auto _ : state) {
    WpRecord r = source[i++ & 4095];
    benchmark::DoNotOptimize(review_record(in, &r));
  }
  std::fclose(stderr);
  stderr = err;
  std::fclose(null_file);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(review_mix)->Arg(0)->Arg(1)->ArgName("full_table");

void lookup_full_table(benchmark::State& state) {
  static DuplicateFilter filter;
  fill_table(filter, true);
  for (auto _ : state) benchmark::DoNotOptimize(filter.contains("QA1BC", 0));  // not found: a full scan
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(lookup_full_table);

// The stamp of the last update times of a realistic mix (spread over 80
// days), in a zone read from the time zone database as on most hosts.
void stamp_yymmdd_mix(benchmark::State& state) {
  setenv("TZ", "Europe/Paris", 1);
  tzset();
  std::vector<WpRecord> source = realistic_mix(4096);
  std::vector<std::int64_t> times;
  for (const WpRecord& r : source) times.push_back(get_time(r.last_update));
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(stamp_yymmdd(times[i++ & 4095]));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(stamp_yymmdd_mix);

}  // namespace
