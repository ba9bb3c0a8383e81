// The one checksum of the tool, over 64 bits, eight bytes at a step: any
// single changed byte changes it (each step is a one-to-one function of
// what came before), which is what the journal and the spools need of it,
// a sign that bytes on disk are the ones that were written. It does not
// depend on how the bytes are split between calls, nor on the machine's
// byte order.
#pragma once

#include <cstddef>
#include <cstdint>

struct Checksum {
  std::uint64_t sum = 0xcbf29ce484222325ULL;
  std::uint64_t word = 0;  // bytes not yet folded in, the first lowest
  unsigned pending = 0;
  std::uint64_t length = 0;
};

// Adds size bytes.
void checksum_add(Checksum* checksum, const void* bytes, std::size_t size);
// The checksum of everything added so far.
std::uint64_t checksum_value(const Checksum& checksum);
// The checksum of size bytes.
std::uint64_t checksum_of(const void* bytes, std::size_t size);
// Adds bytes from to to of the open file fd; false when they cannot all
// be read.
bool checksum_range(int fd, std::int64_t from, std::int64_t to, Checksum* checksum);
