// Callsign and route shape rules.
#include "records/record_rules.h"

#include "util/text_case.h"

bool is_valid_callsign(char* text) {
  int characters = 0;
  int digits = 0;
  bool last_is_digit = false;
  char* p = text;
  for (; is_ascii_alnum(static_cast<unsigned char>(*p)); ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (is_ascii_lower(c)) *p = static_cast<char>(c - 'a' + 'A');
    ++characters;
    last_is_digit = is_ascii_digit(c);
    if (last_is_digit) ++digits;
  }
  *p = '\0';
  return characters >= 3 && characters <= 6 && digits >= 1 && digits <= 2 && !last_is_digit;
}

bool is_valid_route(const char* text) {
  int seen = 0;
  int component = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '.') {
      component = 0;
    } else {
      if (component == 6) return false;
      ++component;
    }
    if (++seen == 31) return false;
  }
  return true;
}

void copy_bounded(char* destination, const char* source, std::size_t n) {
  std::size_t i = 0;
  for (; i < n && source[i] != '\0'; ++i) destination[i] = source[i];
  destination[i] = '\0';
}
