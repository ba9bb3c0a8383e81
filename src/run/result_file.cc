// The result file's head: one table of texts for its writer and its reader.
#include "run/result_file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace {

// One number of the head: the text before it, its printed width (0: as
// long as it is), which number it is, and the text after it.
struct HeadLine {
  const char* before;
  int width;
  long ResultHead::*value;
  const char* after;
};

constexpr HeadLine kHeadLines[] = {
    {"", 0, &ResultHead::start, "\n\n"},
    {"WP updated : ", 5, &ResultHead::total, " total record(s)      \n"},
    {"           : ", 5, &ResultHead::updated, " updated record(s)    \n"},
    {"           : ", 5, &ResultHead::deleted, " deleted records(s)   \n"},
    {"           : ", 5, &ResultHead::lines, " WP update line(s)    \n\n"},
};

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Steps *at over expected; a white space character of expected steps over
// any run of white space.
bool skip_text(const char** at, const char* expected) {
  const char* p = *at;
  for (; *expected != '\0'; ++expected) {
    if (is_space(*expected)) {
      while (is_space(*p)) ++p;
    } else if (*p++ != *expected) {
      return false;
    }
  }
  *at = p;
  return true;
}

// A decimal number at *at, after any white space, as strtol reads it.
bool take_number(const char** at, long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(*at, &end, 10);
  if (end == *at || errno != 0) return false;
  *at = end;
  return true;
}

}  // namespace

void write_result_head(std::FILE* out, const ResultHead& head) {
  for (const HeadLine& line : kHeadLines) {
    std::fprintf(out, "%s%*ld%s", line.before, line.width, head.*line.value, line.after);
  }
}

bool read_result_head(const char* text, ResultHead* head) {
  const char* at = text;
  for (const HeadLine& line : kHeadLines) {
    if (!skip_text(&at, line.before) || !take_number(&at, &(head->*line.value)) ||
        !skip_text(&at, line.after)) {
      return false;
    }
  }
  return true;
}
