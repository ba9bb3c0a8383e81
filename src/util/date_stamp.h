// Local-time date stamps. The year prints as years since 1900 (2026 is 126)
// and every field with "%02d". Each returns a buffer of its own that its
// next call overwrites.
#pragma once

#include <cstdint>

const char* stamp_date(std::int64_t seconds);       // yy-mm-dd
const char* stamp_date_time(std::int64_t seconds);  // yy-mm-dd hh:mm
const char* stamp_yymmdd(std::int64_t seconds);     // yymmdd
