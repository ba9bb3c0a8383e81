// In-place ASCII case changes.
#include "util/text_case.h"

char* upcase_in_place(char* text) {
  for (char* p = text; *p != '\0'; ++p) {
    if (is_ascii_lower(static_cast<unsigned char>(*p))) *p = static_cast<char>(*p - 'a' + 'A');
  }
  return text;
}

char* downcase_in_place(char* text) {
  for (char* p = text; *p != '\0'; ++p) {
    if (is_ascii_upper(static_cast<unsigned char>(*p))) *p = static_cast<char>(*p - 'A' + 'a');
  }
  return text;
}
