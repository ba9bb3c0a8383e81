// The start time.
#include "run/clock.h"

#include <ctime>

#include "util/system_calls.h"

bool time_in_range(std::int64_t seconds) { return seconds >= INT32_MIN && seconds <= INT32_MAX; }

Failed read_start_time(std::int32_t* start) {
  std::time_t now = sys().time(nullptr);
  if (now == static_cast<std::time_t>(-1) || !time_in_range(static_cast<std::int64_t>(now))) {
    return fail(Failure::clock_out_of_range);
  }
  *start = static_cast<std::int32_t>(now);
  return {};
}
