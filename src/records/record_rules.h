// The callsign and route rules of the review, and the bounded copy used to
// promote a temporary field.
#pragma once

#include <cstddef>

// Upper-cases the leading letters and digits of text in place and cuts it
// with a NUL at the first other byte. Valid when 3 to 6 characters remain,
// 1 or 2 of them digits, and the last is not a digit.
bool is_valid_callsign(char* text);

// At most 30 characters, dots included, and no dot-separated component
// longer than 6 characters.
bool is_valid_route(const char* text);

// Copies at most n characters of source, stopping at its NUL, then writes a
// NUL after them; destination holds n + 1 bytes. Bytes of destination after
// that NUL are left as they were.
void copy_bounded(char* destination, const char* source, std::size_t n);
