// Checksums of bytes and of ranges of files.
#include "util/checksum.h"

#include <sys/types.h>

#include "util/fd_io.h"

namespace {

std::uint64_t mix(std::uint64_t sum, std::uint64_t word) {
  sum = (sum ^ word) * 0x100000001b3ULL;
  return sum ^ (sum >> 32);
}

}  // namespace

void checksum_add(Checksum* c, const void* bytes, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  const unsigned char* end = p + size;
  c->length += size;
  while (p < end && c->pending != 0) {
    c->word |= static_cast<std::uint64_t>(*p++) << (8 * c->pending);
    if (++c->pending == 8) {
      c->sum = mix(c->sum, c->word);
      c->word = 0;
      c->pending = 0;
    }
  }
  for (; end - p >= 8; p += 8) {
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = word << 8 | p[i];
    c->sum = mix(c->sum, word);
  }
  for (; p < end; ++p) c->word |= static_cast<std::uint64_t>(*p) << (8 * c->pending++);
}

std::uint64_t checksum_value(const Checksum& c) { return mix(mix(c.sum, c.word), c.length); }

std::uint64_t checksum_of(const void* bytes, std::size_t size) {
  Checksum c;
  checksum_add(&c, bytes, size);
  return checksum_value(c);
}

bool checksum_range(int fd, std::int64_t from, std::int64_t to, Checksum* checksum) {
  char buffer[16384];
  while (from < to) {
    std::size_t want = to - from < static_cast<std::int64_t>(sizeof buffer)
                           ? static_cast<std::size_t>(to - from)
                           : sizeof buffer;
    if (pread_full(fd, buffer, want, static_cast<off_t>(from)) != static_cast<ssize_t>(want)) return false;
    checksum_add(checksum, buffer, want);
    from += static_cast<std::int64_t>(want);
  }
  return true;
}
