// Bounded joining of texts.
#include "util/join_text.h"

#include <cstring>

bool join_text(char* out, std::size_t size, std::initializer_list<const char*> parts) {
  std::size_t used = 0;
  bool whole = true;
  for (const char* part : parts) {
    std::size_t length = std::strlen(part);
    if (used + length >= size) {
      length = size - 1 - used;
      whole = false;
    }
    std::memcpy(out + used, part, length);
    used += length;
    if (!whole) break;
  }
  out[used] = '\0';
  return whole;
}
