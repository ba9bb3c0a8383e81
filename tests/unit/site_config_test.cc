// init.srv reading, line cleaning and thresholds.
#include "config/site_config.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Runs read_base_directory over text; answers the base, or "<none>".
std::string base_of(std::string text) {
  std::FILE* in = fmemopen(text.data(), text.size(), "r");
  if (in == nullptr) return "<fmemopen failed>";
  char base[kConfigLineSize];
  bool found = read_base_directory(in, base);
  std::fclose(in);
  return found ? std::string(base) : std::string("<none>");
}

}  // namespace

TEST(CleanLine, RemovesLineEndDebrisOnce) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"abc\n", "abc"},
      {"abc\r\n", "abc"},
      {"abc\r", "abc"},
      {"abc\n\n", "abc\n"},
      {"abc\r\r\n", "abc\r"},
      {"\n", ""},
      {"\r\n", ""},
      {"", ""},
      {"\x1a"
       "abc\n",
       ""},
      {"a\x1a\n", "a\x1a"},
      {"\x1a", ""},
      {"  \n", "  "},
  };
  for (const Case& c : cases) {
    char text[kConfigLineSize];
    std::snprintf(text, sizeof text, "%s", c.in);
    EXPECT_STREQ(c.out, clean_line(text)) << '"' << c.in << '"';
  }
}

TEST(ReadBaseDirectory, TakesTheFifthSignificantLine) {
  struct Case {
    const char* name;
    std::string text;
    std::string base;
  } cases[] = {
      {"plain", "1\n2\n3\n4\n/srv/data/\n6\n", "/srv/data/"},
      {"lower-cased", "1\n2\n3\n4\n/SRV/Data/\n", "/srv/data/"},
      {"comments and empty lines skipped", "#c\n1\n\n2\n\r\n3\n#x\n4\n\x1a junk\n/b/\n", "/b/"},
      {"crlf", "1\r\n2\r\n3\r\n4\r\n/b/\r\n", "/b/"},
      {"blank line is significant", "1\n2\n3\n   \n/b/\n", "/b/"},
      {"blanks kept", "1\n2\n3\n4\n /b/ \n", " /b/ "},
      {"no final newline", "1\n2\n3\n4\n/b/", "/b/"},
      {"only four", "1\n2\n3\n4\n", "<none>"},
      {"four and comments", "1\n2\n#3\n4\n\n5\n", "<none>"},
      {"empty file", "", "<none>"},
      // An 85-character first line is read as 79 characters, then 6.
      {"long line counts twice", std::string(85, 'a') + "\n3\n4\n/B/\n", "/b/"},
      {"long fifth line cut at 79", "1\n2\n3\n4\n" + std::string(79, 'X') + "tail\n", std::string(79, 'x')},
  };
  for (const Case& c : cases) EXPECT_EQ(c.base, base_of(c.text)) << c.name;
}

TEST(ComputeThreshold, SubtractsDaysAndClamps) {
  struct Case {
    std::int32_t start;
    std::int32_t days;
    std::int32_t threshold;
  } cases[] = {
      {1796731200, 0, 1796731200},          {1796731200, 40, 1796731200 - 40 * 86400},
      {1796731200, -1, 1796731200 + 86400}, {1796731200, INT32_MAX, INT32_MIN},  // nothing is before it
      {1796731200, INT32_MIN, INT32_MAX},                                        // everything is before it
      {1796731200, -5000, INT32_MAX},       {100, 1, 100 - 86400},
  };
  for (const Case& c : cases) EXPECT_EQ(c.threshold, compute_threshold(c.start, c.days)) << c.days;
}
