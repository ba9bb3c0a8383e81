// The result file's head: what the run writes, the status check reads.
#include "run/result_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

TEST(ResultFile, ReadsBackWhatItWritesAndNoOtherText) {
  auto numbers = [](const ResultHead& h) {
    return std::vector<long>{h.start, h.total, h.updated, h.deleted, h.lines};
  };
  const std::string body =
      " WP updated:1 total record(s):2 updated record(s):3 deleted records(s):4 WP update";
  struct Case {
    ResultHead head;   // written, then read back, when text is empty
    std::string text;  // else read: as head when read is true
    bool read;
  } cases[] = {
      {{1796731200, 1996, 95, 1446, 114}, "", true},
      {{-2147483648, 2147483647, 123456, 99999, 100000}, "", true},  // wider than the columns
      {{7, 1, 2, 3, 4}, "7" + body + " line(s)", true},              // white space may go
      {{}, "7" + body, false},
      {{}, "99999999999999999999" + body + " line(s)", false},
  };
  for (Case& c : cases) {
    if (c.text.empty()) {
      char text[512] = {};
      std::FILE* out = fmemopen(text, sizeof text - 1, "w");
      ASSERT_NE(nullptr, out);
      write_result_head(out, c.head);
      std::fclose(out);
      c.text = text;
    }
    ResultHead read = {};
    EXPECT_EQ(c.read, read_result_head(c.text.c_str(), &read)) << c.text;
    if (c.read) {
      EXPECT_EQ(numbers(c.head), numbers(read)) << c.text;
    }
  }
}
