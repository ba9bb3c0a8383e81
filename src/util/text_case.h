// ASCII-only character tests and in-place letter-case changes, independent
// of the host's locale.
#pragma once

inline bool is_ascii_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_ascii_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
inline bool is_ascii_lower(unsigned char c) { return c >= 'a' && c <= 'z'; }
inline bool is_ascii_alnum(unsigned char c) {
  return is_ascii_digit(c) || is_ascii_upper(c) || is_ascii_lower(c);
}
inline bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Change the ASCII letters of a NUL-terminated text in place; every other
// byte is left alone. Both return the text.
char* upcase_in_place(char* text);
char* downcase_in_place(char* text);
