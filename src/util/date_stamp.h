// Local-time date stamps. The year prints as years since 1900 (2026 is 126)
// and every field with "%02d". Each returns a buffer of its own that its
// next call overwrites.
#pragma once

#include <cstddef>
#include <cstdint>

const char* stamp_date(std::int64_t seconds);       // yy-mm-dd
const char* stamp_date_time(std::int64_t seconds);  // yy-mm-dd hh:mm
const char* stamp_yymmdd(std::int64_t seconds);     // yymmdd

// seconds as local time in strftime's format, written into the caller's
// text of size bytes; the decimal seconds instead when the time has no
// local form or the result does not fit. Answers text.
__attribute__((format(strftime, 2, 0))) const char* format_local_time(std::int64_t seconds,
                                                                      const char* format, char* text,
                                                                      std::size_t size);
