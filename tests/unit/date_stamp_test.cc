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
    forget_local_days();
  }
  ~InZone() {
    if (had_zone) {
      setenv("TZ", saved.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    forget_local_days();
  }
  bool had_zone = false;
  std::string saved;
};

// The stamp as plain localtime_r and snprintf give it.
std::string reference_yymmdd(std::int64_t seconds) {
  std::tm f{};
  auto t = static_cast<std::time_t>(seconds);
  if (localtime_r(&t, &f) == nullptr) f = std::tm{};
  char text[48];
  std::snprintf(text, sizeof text, "%02d%02d%02d", f.tm_year, f.tm_mon + 1, f.tm_mday);
  return text;
}

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

// The kept stamps of local days against plain localtime_r, at every
// quarter hour and the second before it over each span (so at every
// offset change and local midnight of these zones), first in order and
// then in a scattered order that finds days kept long before and slots
// taken by other days.
TEST(DateStamp, KeptDaysMatchLocalTimeInZonesThatChangeOffset) {
  struct Case {
    const char* tz;
    std::int64_t from, to;
  } cases[] = {
      {"UTC0", 1767225600, 1798761600},                                  // 2026
      {"EST5EDT,M3.2.0,M11.1.0", 1767225600, 1798761600},                // changes at 02:00
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1767225600, 1798761600},            // Europe-style, at 01:00 UTC
      {"XXX3YYY,M3.2.0/0,M11.1.0/0", 1767225600, 1798761600},            // changes at midnight
      {"AAA4BBB,M3.2.0/23:30,M11.1.0/23:30", 1767225600, 1798761600},    // skips a local midnight
      {"CCC-2DDD,M3.5.0/0:30,M10.5.0/0:30", 1767225600, 1798761600},     // goes back over one
      {"<+0545>-5:45", 1767225600, 1772323200},                          // odd offset
      {"<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", 1767225600, 1798761600},  // half-hour change
      {"America/Havana", 1767225600, 1798761600},  // the time zone database: changes at midnight
      {"Pacific/Apia", 1322697600, 1326585600},    // 2011-12-01 to 2012-01-15: skips a day
      {"right/UTC", 1482624000, 1483574400},       // 2016-12-25 to 2017-01-05: a leap second
      {"Australia/Lord_Howe", 1767225600, 1798761600},
  };
  for (const Case& c : cases) {
    InZone zone(c.tz);
    std::int64_t count = (c.to - c.from) / 900;
    auto at = [&](std::int64_t i) { return c.from + i / 2 * 900 - i % 2; };
    for (std::int64_t i = 0; i < 2 * count; ++i) {
      ASSERT_EQ(reference_yymmdd(at(i)), stamp_yymmdd(at(i))) << c.tz << " at " << at(i);
    }
    for (std::int64_t i = 0; i < 2 * count; ++i) {
      std::int64_t j = i * 7919 % (2 * count);  // 7919 is prime and divides no count here
      ASSERT_EQ(reference_yymmdd(at(j)), stamp_yymmdd(at(j))) << c.tz << " at " << at(j);
    }
  }
}

TEST(Progress, WritesTheCountAfterACarriageReturn) {
  testing::internal::CaptureStderr();
  for (std::int32_t total : {100, 2147483600, 0, -5}) write_progress(total);
  flush_standard_error();
  EXPECT_EQ("\rRecord 100\rRecord 2147483600\rRecord 0\rRecord -5", testing::internal::GetCapturedStderr());
}
