// Fuzz target: the review of an arbitrary 194-byte record under arbitrary
// options, thresholds and duplicate table, checked against the rules every
// result must keep.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "files/announce.h"
#include "records/review.h"

namespace {

// Input: the record, then route check (1 byte), update and kill
// thresholds (4 bytes each), then callsign texts for the table, 7 bytes each.
constexpr std::size_t kHeader = kRecordSize + 1 + 8;

std::int32_t read_i32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                                   static_cast<std::uint32_t>(p[2]) << 16 |
                                   static_cast<std::uint32_t>(p[3]) << 24);
}

void check(bool condition) {
  if (!condition) std::abort();
}

bool is_terminated(const char* field, std::size_t width) {
  return std::memchr(field, '\0', width) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  static DuplicateFilter duplicates;
  static std::FILE* sink = std::fopen("/dev/null", "w");
  std::int32_t total = 0;
  std::int32_t update_lines = 0;
  Announcer announcer;
  static char buffer[4096];
  announcer.messages = make_output(fileno(sink), buffer, sizeof buffer);
  if (data[kRecordSize] & 2) announcer.update_file = announcer.messages;
  announcer.update_lines = &update_lines;
  const ReviewInputs in = {(data[kRecordSize] & 1) != 0,
                           read_i32(data + kRecordSize + 1),
                           read_i32(data + kRecordSize + 5),
                           &duplicates,
                           &total,
                           announcement_sink(announcer)};
  duplicates = DuplicateFilter{};
  for (std::size_t at = kHeader; at + 7 <= size && duplicates.fill < kDuplicateSlots; at += 7) {
    char call[8] = {};
    std::memcpy(call, data + at, 7);
    duplicates.add(call);
  }

  WpRecord before;
  std::memcpy(&before, data, kRecordSize);
  WpRecord r = before;
  std::FILE* err = stderr;
  stderr = sink;  // duplicate messages
  int answer = review_record(in, &r);
  stderr = err;

  check(answer == kDrop || answer == kKeep || answer == kKeepUpdated);
  for (std::size_t slot : {6u, 19u, 72u, 113u, 122u, 131u, 162u, 193u}) {
    check(reinterpret_cast<const unsigned char*>(&r)[slot] == 0);
  }
  // Bytes no rule may change.
  check(std::memcmp(r.name, before.name, 12) == 0);
  check(r.reserved_20 == before.reserved_20 && std::memcmp(r.reserved_22, before.reserved_22, 2) == 0);
  check(std::memcmp(r.last_update, before.last_update, 4) == 0);
  check(std::memcmp(r.last_seen, before.last_seen, 4) == 0);
  check(std::memcmp(r.temp_home_bbs, before.temp_home_bbs, 40) == 0);
  check(std::memcmp(r.temp_zip, before.temp_zip, 8) == 0);
  check(std::memcmp(r.temp_location, before.temp_location, 30) == 0);
  check(is_terminated(r.callsign, sizeof r.callsign));
  if (answer == kDrop) {
    check(r.update_kind == before.update_kind);
    return 0;
  }
  // A kept record has a valid callsign and route, is recent enough, and
  // has nothing pending.
  std::size_t length = std::strlen(r.callsign);
  check(length >= 3 && length <= 6);
  check(r.home_bbs[0] != '\0' || answer == kKeepUpdated);
  check(get_time(r.last_seen) >= in.kill_threshold);
  check(r.update_kind == 0);
  if (answer == kKeep) check(std::memcmp(r.home_bbs, before.home_bbs, 40) == 0);
  if (answer == kKeepUpdated) {
    check(get_time(r.last_update) < in.update_threshold);
    check(std::strncmp(r.home_bbs, r.temp_home_bbs, 40) == 0);
    check(std::strncmp(r.zip, r.temp_zip, 8) == 0);
    check(std::strncmp(r.location, r.temp_location, 30) == 0);
  }
  return 0;
}
