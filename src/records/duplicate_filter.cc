// Duplicate callsign table and callsign keys.
#include "records/duplicate_filter.h"

#include <cstdio>

#include "util/text_case.h"

std::int32_t callsign_key(const char* text) {
  std::uint32_t key = 0;  // unsigned, so the wrap on overflow is defined
  for (const char* p = text; *p != '\0'; ++p) {
    auto c = static_cast<unsigned char>(*p);
    std::uint32_t value;
    if (is_ascii_digit(c)) {
      value = c - 47u;
    } else if (is_ascii_upper(c)) {
      value = c - 54u;
    } else {
      return -1;
    }
    key = key * 37u + value;
  }
  return static_cast<std::int32_t>(key);
}

void DuplicateFilter::reset() {
  for (std::int32_t& slot : slots) slot = 0;
}

void DuplicateFilter::add(const char* callsign) {
  if (fill >= kDuplicateSlots) return;
  slots[fill] = callsign_key(callsign);
  ++fill;
}

bool DuplicateFilter::contains(const char* callsign, std::int32_t total) const {
  std::int32_t key = callsign_key(callsign);
  // Only filled slots can match: an unfilled slot holds 0, and a callsign
  // that reaches the lookup has passed the callsign rule, so its key is
  // never 0. Counting matches without an early exit lets the compiler
  // vectorise the scan over a full table.
  int matches = 0;
  for (std::int32_t i = 0; i < fill; ++i) matches += slots[i] == key;
  if (matches == 0) return false;
  std::fprintf(stderr, "\rRecord %ld (%s) duplicated\n", static_cast<long>(total), callsign);
  return true;
}
