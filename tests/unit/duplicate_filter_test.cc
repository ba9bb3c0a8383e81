// Callsign keys and the duplicate table.
#include "records/duplicate_filter.h"

#include <gtest/gtest.h>

#include <string>

TEST(CallsignKey, Base37WithWrap) {
  struct Case {
    const char* text;
    std::int32_t key;
  } cases[] = {
      {"", 0},
      {"A", 11},
      {"0", 1},
      {"9", 10},
      {"Z", 36},
      {"QA1BC", 51162725},
      {"ZZZZZZ", -1729240888},  // 37^6 - 1 wraps past 2^31
      {"ZZZZZ", 69343956},
      {"QA-1", -1},
      {"qa1bc", -1},
      {"QA1BC ", -1},
      // Seven characters overflow 32 bits: the key wraps modulo 2^32.
      {"ZZZZZZZ", static_cast<std::int32_t>(static_cast<std::uint32_t>(2565726408u * 37u + 36u))},
  };
  for (const Case& c : cases) EXPECT_EQ(c.key, callsign_key(c.text)) << '"' << c.text << '"';
}

TEST(DuplicateFilter, FindsOnlyAddedKeysAndFillsAtMost1000) {
  DuplicateFilter filter{};
  filter.reset();
  EXPECT_EQ(0, filter.fill);
  EXPECT_FALSE(filter.contains("QA1BC", 0));
  filter.add("QA1BC");
  EXPECT_EQ(1, filter.fill);
  EXPECT_EQ(51162725, filter.slots[0]);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(filter.contains("QA1BC", 70000));
  EXPECT_EQ("\rRecord 70000 (QA1BC) duplicated\n", testing::internal::GetCapturedStderr());
  EXPECT_FALSE(filter.contains("QA1BD", 0));
  EXPECT_EQ(0, filter.slot_of("QA1BC"));
  EXPECT_EQ(-1, filter.slot_of("QA1BD"));

  // Fill the table; the 1001st callsign is not kept.
  char call[7];
  for (int i = 1; i < kDuplicateSlots; ++i) {
    std::snprintf(call, sizeof call, "Q%dA", i);
    filter.add(call);
  }
  EXPECT_EQ(kDuplicateSlots, filter.fill);
  filter.add("ZZ9ZZ");
  EXPECT_EQ(kDuplicateSlots, filter.fill);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(filter.contains("Q999A", 1));
  EXPECT_FALSE(filter.contains("ZZ9ZZ", 1));
  EXPECT_EQ("\rRecord 1 (Q999A) duplicated\n", testing::internal::GetCapturedStderr());
  filter.slots[kDuplicateSlots - 1] = callsign_key("Q5A");  // the first slot holding a key is answered
  EXPECT_EQ(5, filter.slot_of("Q5A"));
  EXPECT_EQ(kDuplicateSlots - 2, filter.slot_of("Q998A"));
}

TEST(DuplicateFilter, EmptyCallsignUsesASlotWithKeyZero) {
  DuplicateFilter filter{};
  filter.reset();
  filter.add("");
  EXPECT_EQ(1, filter.fill);
  EXPECT_EQ(0, filter.slots[0]);
  filter.add("QA1BC");
  EXPECT_EQ(51162725, filter.slots[1]);
}

TEST(DuplicateFilter, ResetClearsSlotsButNotTheFillCount) {
  DuplicateFilter filter{};
  filter.add("QA1BC");
  filter.reset();
  EXPECT_EQ(0, filter.slots[0]);
  EXPECT_EQ(1, filter.fill);
}
