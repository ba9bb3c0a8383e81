// The white pages record: the one 194-byte layout of the database, its
// backup and the update file, with explicit little-endian time fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr std::size_t kRecordSize = 194;

// Plain bytes only, so the struct has no padding and alignment 1 and its
// in-memory image is the on-disk record on every host.
struct WpRecord {
  char callsign[7];
  char name[13];
  unsigned char reserved_20;
  unsigned char update_kind;
  unsigned char reserved_22[2];
  unsigned char last_update[4];  // signed 32-bit, little-endian
  unsigned char last_seen[4];    // signed 32-bit, little-endian
  char home_bbs[41];
  char temp_home_bbs[41];
  char zip[9];
  char temp_zip[9];
  char location[31];
  char temp_location[31];
};

static_assert(sizeof(WpRecord) == kRecordSize);
static_assert(alignof(WpRecord) == 1);
static_assert(offsetof(WpRecord, callsign) == 0);
static_assert(offsetof(WpRecord, name) == 7);
static_assert(offsetof(WpRecord, reserved_20) == 20);
static_assert(offsetof(WpRecord, update_kind) == 21);
static_assert(offsetof(WpRecord, reserved_22) == 22);
static_assert(offsetof(WpRecord, last_update) == 24);
static_assert(offsetof(WpRecord, last_seen) == 28);
static_assert(offsetof(WpRecord, home_bbs) == 32);
static_assert(offsetof(WpRecord, temp_home_bbs) == 73);
static_assert(offsetof(WpRecord, zip) == 114);
static_assert(offsetof(WpRecord, temp_zip) == 123);
static_assert(offsetof(WpRecord, location) == 132);
static_assert(offsetof(WpRecord, temp_location) == 163);

// Decodes a stored little-endian signed 32-bit time.
std::int32_t get_time(const unsigned char (&field)[4]);
// Stores a signed 32-bit time little-endian.
void put_time(unsigned char (&field)[4], std::int32_t seconds);

// Reads one whole record; false at end of input, on a read error or when
// only part of a record was left (that part is not used).
bool read_record(std::FILE* stream, WpRecord* record);
// Writes one whole record; false when the stream took less than a record.
bool write_record(std::FILE* stream, const WpRecord* record);
