// Date stamps in the host's local time.
#include "util/date_stamp.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Broken-down local time; an unconvertible time gives all zero fields
// rather than reading an uninitialised structure.
std::tm local_fields(std::int64_t seconds) {
  std::tm fields{};
  auto t = static_cast<std::time_t>(seconds);
  if (localtime_r(&t, &fields) == nullptr) fields = std::tm{};
  return fields;
}

}  // namespace

const char* stamp_date(std::int64_t seconds) {
  static char text[48];
  std::tm f = local_fields(seconds);
  std::snprintf(text, sizeof text, "%02d-%02d-%02d", f.tm_year, f.tm_mon + 1, f.tm_mday);
  return text;
}

const char* stamp_date_time(std::int64_t seconds) {
  static char text[80];
  std::tm f = local_fields(seconds);
  std::snprintf(text, sizeof text, "%02d-%02d-%02d %02d:%02d", f.tm_year, f.tm_mon + 1, f.tm_mday, f.tm_hour,
                f.tm_min);
  return text;
}

namespace {

// Writes value as "%02d" does for a value from 0 to 999 and answers the new
// end; other values go through snprintf.
char* put_02d(char* out, int value, char* end) {
  if (value < 0 || value > 999)
    return out + std::snprintf(out, static_cast<std::size_t>(end - out), "%02d", value);
  if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
  *out++ = static_cast<char>('0' + value / 10 % 10);
  *out++ = static_cast<char>('0' + value % 10);
  return out;
}

}  // namespace

namespace {

// The stamps of recently seen local days. A day is kept only once it has
// proved to have a single UTC offset: its first second reads 00:00:00 and
// its last second 23:59:59 of the same date with the same offset. It then
// spans exactly 86400 seconds from its local midnight, and every time in it
// takes its stamp without a call to localtime_r. (An offset that changed
// and changed back within one day would defeat the check: no zone of the
// time zone database has two changes less than a day apart, though a TZ
// rule string naming two such dates could.) A day sits in the slot of the
// UTC day holding its midnight, so a time looks in the slots of its own UTC
// day and of the one before.
constexpr int kCachedDays = 128;  // a power of two
constexpr std::int64_t kDaySeconds = 86400;

struct LocalDay {
  std::int64_t start;  // local midnight
  bool used;
  char text[8];  // yymmdd, for years 0 to 999 since 1900
};

LocalDay cached_days[kCachedDays];

std::int64_t utc_day(std::int64_t seconds) {
  return seconds / kDaySeconds - (seconds % kDaySeconds < 0 ? 1 : 0);
}

LocalDay& slot_of(std::int64_t day) {
  return cached_days[static_cast<std::uint64_t>(day) & (kCachedDays - 1)];
}

const LocalDay* find_day(std::int64_t seconds) {
  std::int64_t day = utc_day(seconds);
  for (std::int64_t d = day; d >= day - 1; --d) {
    const LocalDay& c = slot_of(d);
    if (c.used && seconds >= c.start && seconds < c.start + kDaySeconds) return &c;
  }
  return nullptr;
}

bool fields_at(std::int64_t seconds, std::tm* fields) {
  auto t = static_cast<std::time_t>(seconds);
  return localtime_r(&t, fields) != nullptr;
}

bool same_date_and_offset(const std::tm& a, const std::tm& b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
         a.tm_gmtoff == b.tm_gmtoff;
}

// Keeps the local day of seconds (whose fields are f and stamp text) when
// it proves to have one offset.
void remember_day(std::int64_t seconds, const std::tm& f, const char* text) {
  if (f.tm_year < 0 || f.tm_year > 999) return;  // also keeps the sums below in range
  std::int64_t start = seconds - (f.tm_hour * 3600 + f.tm_min * 60 + f.tm_sec);
  std::tm first{}, last{};
  if (!fields_at(start, &first) || !fields_at(start + kDaySeconds - 1, &last)) return;
  if (!same_date_and_offset(first, f) || !same_date_and_offset(last, f)) return;
  if (first.tm_hour != 0 || first.tm_min != 0 || first.tm_sec != 0) return;
  if (last.tm_hour != 23 || last.tm_min != 59 || last.tm_sec != 59) return;
  LocalDay& slot = slot_of(utc_day(start));
  slot.start = start;
  slot.used = true;
  std::memcpy(slot.text, text, sizeof slot.text);
}

}  // namespace

// Called for every announced record, so it formats without printf and
// reuses the stamp of a local day already seen.
const char* stamp_yymmdd(std::int64_t seconds) {
  static char text[48];
  if (const LocalDay* day = find_day(seconds)) {
    std::memcpy(text, day->text, sizeof day->text);
    return text;
  }
  std::tm f = local_fields(seconds);
  char* end = text + sizeof text;
  char* p = put_02d(text, f.tm_year, end);
  p = put_02d(p, f.tm_mon + 1, end);
  p = put_02d(p, f.tm_mday, end);
  *p = '\0';
  if (f.tm_mday != 0) remember_day(seconds, f, text);  // 0: localtime_r failed
  return text;
}

void forget_local_days() {
  for (LocalDay& day : cached_days) day.used = false;
}
