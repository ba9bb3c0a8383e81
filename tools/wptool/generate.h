// A reproducible synthetic white pages database.
#pragma once

#include <cstdint>
#include <cstdio>

#include "records/wp_record.h"

constexpr std::int32_t kDefaultGenerateNow = 1796731200;  // 2026-12-08 12:00:00 UTC

// Fills record number index of the database that seed gives, with times
// spread around the default thresholds before now. The same arguments
// always give the same bytes.
void generate_record(std::uint64_t seed, std::int64_t index, std::int32_t now, WpRecord* record);

// Writes count records to out; false on a write error.
bool generate_database(long long count, std::uint64_t seed, std::int32_t now, std::FILE* out);
