// Duplicate callsign table and callsign keys.
#include "records/duplicate_filter.h"

#include <cstdio>

#include "util/quiet.h"
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

namespace {

// Answers whether any of the first count slots equals key. No early exit,
// and 32 independent lanes, so the compiler vectorises the scan into
// several accumulators that do not wait on each other; on x86-64 a second,
// AVX2 version is chosen at load time where the processor has it.
#if defined(__x86_64__)
__attribute__((target_clones("avx2", "default")))
#endif
bool any_slot_equals(const std::int32_t* slots, std::int32_t count, std::int32_t key) {
  constexpr std::int32_t kLanes = 32;
  std::int32_t lanes[kLanes] = {};  // all ones where a slot matched
  std::int32_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    for (std::int32_t j = 0; j < kLanes; ++j) lanes[j] |= -static_cast<std::int32_t>(slots[i + j] == key);
  }
  std::int32_t found = 0;
  for (; i < count; ++i) found |= -static_cast<std::int32_t>(slots[i] == key);
  for (std::int32_t lane : lanes) found |= lane;
  return found != 0;
}

}  // namespace

bool DuplicateFilter::contains(const char* callsign, std::int32_t total) const {
  std::int32_t key = callsign_key(callsign);
  // Only filled slots can match: an unfilled slot holds 0, and a callsign
  // that reaches the lookup has passed the callsign rule, so its key is
  // never 0.
  if (!any_slot_equals(slots, fill, key)) return false;
  if (!quiet()) std::fprintf(stderr, "\rRecord %ld (%s) duplicated\n", static_cast<long>(total), callsign);
  return true;
}

std::int32_t DuplicateFilter::slot_of(const char* callsign) const {
  std::int32_t key = callsign_key(callsign);
  for (std::int32_t i = 0; i < fill; ++i) {
    if (slots[i] == key) return i;
  }
  return -1;
}
