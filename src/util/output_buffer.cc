// Buffered, checked writes to a descriptor.
#include "util/output_buffer.h"

#include <cstring>

#include "util/fd_io.h"

bool flush_output(OutputBuffer& out) {
  if (!out.failed && out.used > 0) out.failed = !write_all(out.fd, out.data, out.used);
  out.used = 0;
  return !out.failed;
}

bool put_output(OutputBuffer& out, const void* bytes, std::size_t size) {
  if (out.failed) return false;
  if (out.used + size > out.capacity) {
    if (!flush_output(out)) return false;
    if (size > out.capacity) return !(out.failed = !write_all(out.fd, bytes, size));
  }
  std::memcpy(out.data + out.used, bytes, size);
  out.used += size;
  return true;
}
