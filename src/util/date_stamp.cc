// Date stamps in the host's local time.
#include "util/date_stamp.h"

#include <cstdio>
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

// Called for every announced record, so it formats without printf.
const char* stamp_yymmdd(std::int64_t seconds) {
  static char text[48];
  std::tm f = local_fields(seconds);
  char* end = text + sizeof text;
  char* p = put_02d(text, f.tm_year, end);
  p = put_02d(p, f.tm_mon + 1, end);
  p = put_02d(p, f.tm_mday, end);
  *p = '\0';
  return text;
}
