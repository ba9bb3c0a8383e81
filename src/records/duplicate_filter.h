// The duplicate callsign filter: a fixed table of up to 1000 callsign keys
// and the base-37 key of a callsign.
#pragma once

#include <cstdint>

constexpr int kDuplicateSlots = 1000;
// The record at this index of the database fills slot 0, and each later
// one the next slot until the table is full.
constexpr std::int32_t kFirstKeyedIndex = 65535;

// Base-37 key of a text of digits (1 to 10) and capitals (11 to 36), in
// wrapping 32-bit arithmetic; -1 for any other character, 0 for "".
std::int32_t callsign_key(const char* text);

struct DuplicateFilter {
  std::int32_t slots[kDuplicateSlots];  // unfilled slots hold 0
  std::int32_t fill;                    // slots filled, 0 to 1000

  // Sets every slot to 0; the fill count is left as it is.
  void reset();
  // Stores the key of callsign in the next free slot; nothing once full.
  void add(const char* callsign);
  // True when the key of callsign is in the table; then writes the
  // duplicate message to standard error (unless quiet) with total, the
  // number of counted records before this one.
  bool contains(const char* callsign, std::int32_t total) const;
  // The first filled slot that holds the key of callsign, or -1; quiet.
  std::int32_t slot_of(const char* callsign) const;
};
