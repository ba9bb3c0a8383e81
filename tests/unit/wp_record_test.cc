// Record layout, time coding and whole-record reads.
#include "records/wp_record.h"
#include "tools/wptool/generate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

TEST(WpRecord, TimesAreLittleEndianSigned32) {
  struct Case {
    std::int32_t seconds;
    unsigned char bytes[4];
  } cases[] = {
      {0, {0, 0, 0, 0}},
      {1, {1, 0, 0, 0}},
      {0x12345678, {0x78, 0x56, 0x34, 0x12}},
      {-1, {0xff, 0xff, 0xff, 0xff}},
      {INT32_MIN, {0, 0, 0, 0x80}},
      {INT32_MAX, {0xff, 0xff, 0xff, 0x7f}},
  };
  for (const Case& c : cases) {
    unsigned char field[4] = {};
    put_time(field, c.seconds);
    EXPECT_EQ(0, std::memcmp(field, c.bytes, 4)) << c.seconds;
    EXPECT_EQ(c.seconds, get_time(c.bytes)) << c.seconds;
  }
}

TEST(WpRecord, TimeFieldsSitAtTheirOffsets) {
  WpRecord r;
  std::memset(&r, 0, sizeof r);
  put_time(r.last_update, 0x01020304);
  put_time(r.last_seen, 0x05060708);
  auto* bytes = reinterpret_cast<unsigned char*>(&r);
  EXPECT_EQ(0x04, bytes[24]);
  EXPECT_EQ(0x01, bytes[27]);
  EXPECT_EQ(0x08, bytes[28]);
  EXPECT_EQ(0x05, bytes[31]);
}

TEST(WpRecord, ReadsOnlyWholeRecords) {
  // Two whole records and 100 trailing bytes: two reads, then false.
  std::string bytes(2 * kRecordSize + 100, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  std::FILE* in = fmemopen(bytes.data(), bytes.size(), "rb");
  ASSERT_NE(nullptr, in);
  WpRecord r;
  ASSERT_TRUE(read_record(in, &r));
  EXPECT_EQ(0, std::memcmp(&r, bytes.data(), kRecordSize));
  ASSERT_TRUE(read_record(in, &r));
  EXPECT_EQ(0, std::memcmp(&r, bytes.data() + kRecordSize, kRecordSize));
  EXPECT_FALSE(read_record(in, &r));
  std::fclose(in);
}

TEST(WpRecord, EmptyInputHasNoRecords) {
  char empty[1];
  std::FILE* in = fmemopen(empty, 0, "rb");
  ASSERT_NE(nullptr, in);
  WpRecord r;
  EXPECT_FALSE(read_record(in, &r));
  std::fclose(in);
}

TEST(WpRecord, WriteReportsAShortWrite) {
  char buffer[kRecordSize + 10];
  std::FILE* out = fmemopen(buffer, sizeof buffer, "wb");
  ASSERT_NE(nullptr, out);
  std::setvbuf(out, nullptr, _IONBF, 0);
  WpRecord r;
  std::memset(&r, 'x', sizeof r);
  EXPECT_TRUE(write_record(out, &r));
  EXPECT_FALSE(write_record(out, &r));  // only 10 bytes of room left
  std::fclose(out);
}

// The generator answers the same bytes for the same arguments whatever
// was generated before: records that repeat an earlier callsign too.
TEST(Generate, ARecordDoesNotDependOnEarlierCalls) {
  constexpr std::int64_t kTable = 65535, kFirst = 66535, kCount = 1000;
  std::vector<WpRecord> alone(kCount);
  for (std::int64_t i = 0; i < kCount; ++i) generate_record(3, kFirst + i, kDefaultGenerateNow, &alone[i]);
  std::set<std::string> table;
  int repeats = 0;
  WpRecord record;
  for (std::int64_t i = 0; i < kFirst + kCount; ++i) {
    generate_record(3, i, kDefaultGenerateNow, &record);
    std::string call(record.callsign, sizeof record.callsign);
    if (i >= kTable && i < kFirst) table.insert(call);
    if (i < kFirst) continue;
    EXPECT_EQ(0, std::memcmp(&record, &alone[i - kFirst], sizeof record)) << i;
    repeats += table.count(call) != 0 ? 1 : 0;
  }
  EXPECT_GT(repeats, 0);  // some do repeat one
}
