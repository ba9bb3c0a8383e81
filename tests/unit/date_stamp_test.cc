// Date stamps: years since 1900, "%02d" fields, local time.
#include "util/date_stamp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "run/progress.h"

namespace {

// Sets the zone for the scope of a test and restores the one before.
struct InZone {
  explicit InZone(const char* tz) {
    const char* before = std::getenv("TZ");
    had_zone = before != nullptr;
    if (had_zone) saved = before;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~InZone() {
    if (had_zone) {
      setenv("TZ", saved.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  bool had_zone = false;
  std::string saved;
};

}  // namespace

TEST(DateStamp, FormatsInLocalTime) {
  InZone utc("UTC0");
  struct Case {
    std::int64_t seconds;
    const char* yymmdd;
    const char* date;
    const char* date_time;
  } cases[] = {
      {0, "700101", "70-01-01", "70-01-01 00:00"},
      {794577600, "950307", "95-03-07", "95-03-07 12:00"},
      {1796731200, "1261208", "126-12-08", "126-12-08 12:00"},
      {1772841599, "1260306", "126-03-06", "126-03-06 23:59"},
      {INT32_MAX, "1380119", "138-01-19", "138-01-19 03:14"},
      {INT32_MIN, "011213", "01-12-13", "01-12-13 20:45"},  // 1901
      {946684800, "1000101", "100-01-01", "100-01-01 00:00"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(c.yymmdd, stamp_yymmdd(c.seconds)) << c.seconds;
    EXPECT_STREQ(c.date, stamp_date(c.seconds)) << c.seconds;
    EXPECT_STREQ(c.date_time, stamp_date_time(c.seconds)) << c.seconds;
  }
}

TEST(DateStamp, FollowsTheTimeZone) {
  InZone east("XST-10");  // ten hours ahead of UTC
  EXPECT_STREQ("126-12-08 22:00", stamp_date_time(1796731200));
  EXPECT_STREQ("1261208", stamp_yymmdd(1796731200 + 2 * 3600 - 1));
  EXPECT_STREQ("1261209", stamp_yymmdd(1796731200 + 2 * 3600));
}

TEST(Progress, WritesTheCountAfterACarriageReturn) {
  testing::internal::CaptureStderr();
  for (std::int32_t total : {100, 2147483600, 0, -5}) write_progress(total);
  flush_standard_error();
  EXPECT_EQ("\rRecord 100\rRecord 2147483600\rRecord 0\rRecord -5", testing::internal::GetCapturedStderr());
}
