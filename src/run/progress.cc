// Buffered standard error and progress lines.
#include "run/progress.h"

#include <cstdio>
#include <ctime>

#include "util/quiet.h"

namespace {

char error_buffer[8192];
std::int64_t last_flush_ns = 0;

std::int64_t monotonic_ns() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

void buffer_standard_error() { std::setvbuf(stderr, error_buffer, _IOFBF, sizeof error_buffer); }

void flush_standard_error() {
  std::fflush(stderr);
  last_flush_ns = monotonic_ns();
}

void write_progress(std::int32_t total) {
  // "\rRecord " and the decimal total, without printf: it runs for every
  // hundredth record.
  char text[24] = "\rRecord ";
  char digits[12];
  int n = 0;
  auto value = static_cast<std::int64_t>(total);
  bool negative = value < 0;
  if (negative) value = -value;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  int length = 8;
  if (negative) text[length++] = '-';
  while (n > 0) text[length++] = digits[--n];
  std::fwrite(text, 1, static_cast<std::size_t>(length), stderr);
  if (monotonic_ns() - last_flush_ns >= 100000000) flush_standard_error();
}

void write_records_reviewed(std::int32_t total) {
  if (!quiet()) std::fprintf(stderr, "\rRecord %ld\n\n", static_cast<long>(total));
}
