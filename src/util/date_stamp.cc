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

const char* stamp_yymmdd(std::int64_t seconds) {
  static char text[48];
  std::tm f = local_fields(seconds);
  std::snprintf(text, sizeof text, "%02d%02d%02d", f.tm_year, f.tm_mon + 1, f.tm_mday);
  return text;
}

const char* format_local_time(std::int64_t seconds, const char* format, char* text, std::size_t size) {
  auto t = static_cast<std::time_t>(seconds);
  std::tm fields{};
  if (localtime_r(&t, &fields) == nullptr || std::strftime(text, size, format, &fields) == 0) {
    std::snprintf(text, size, "%lld", static_cast<long long>(seconds));
  }
  return text;
}
