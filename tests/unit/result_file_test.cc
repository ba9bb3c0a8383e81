// The result file's head: what the run writes, the status check reads.
#include "run/result_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<long> numbers(const ResultHead& h) { return {h.start, h.total, h.updated, h.deleted, h.lines}; }

}  // namespace

TEST(ResultFile, ReadsBackEveryHeadItWrites) {
  const ResultHead heads[] = {
      {1796731200, 1996, 95, 1446, 114},
      {-2147483648, 0, 0, 0, 0},
      {2147483647, 2147483647, 123456, 99999, 100000},  // wider than the columns
  };
  for (const ResultHead& head : heads) {
    char text[512] = {};
    std::FILE* out = fmemopen(text, sizeof text - 1, "w");
    ASSERT_NE(nullptr, out);
    write_result_head(out, head);
    std::fputs("Start computing     : 126-12-08 12:00\n", out);
    std::fclose(out);
    ResultHead read = {};
    EXPECT_TRUE(read_result_head(text, &read)) << text;
    EXPECT_EQ(numbers(head), numbers(read)) << text;
  }
}

TEST(ResultFile, TakesAnyWhiteSpaceButNoOtherText) {
  struct Case {
    const char* text;
    bool head;
  } cases[] = {
      {"7 WP updated : 1 total record(s) : 2 updated record(s) : 3 deleted records(s) : 4 WP update line(s)",
       true},
      {"7\r\nWP updated :1 total record(s)\r\n:2 updated record(s):3 deleted records(s):4 WP update line(s)",
       true},
      {"7 WP updated : 1 total record(s) : 2 updated record(s) : 3 deleted records(s) : 4 WP update", false},
      {"7 WP updated : 1 total records : 2 updated record(s) : 3 deleted records(s) : 4 WP update line(s)",
       false},
      {"7 WP updated : 1 total record(s) : 2 updated record(s) : x deleted records(s) : 4 WP update line(s)",
       false},
      {"7 WP updated : 1 total record(s) : 2 updated record(s) : 3 deleted records(s) : 99999999999999999999 "
       "WP "
       "update line(s)",
       false},
  };
  for (const Case& c : cases) {
    ResultHead read = {};
    EXPECT_EQ(c.head, read_result_head(c.text, &read)) << c.text;
    if (c.head) {
      EXPECT_EQ((std::vector<long>{7, 1, 2, 3, 4}), numbers(read)) << c.text;
    }
  }
}
