// Buffered, checked, counted writes to a descriptor.
#include "util/output_buffer.h"

#include <cerrno>
#include <cstring>

#include "util/checksum.h"
#include "util/fd_io.h"

namespace {

bool write_out(OutputBuffer& out, const void* bytes, std::size_t size) {
  out.failed = !write_all(out.fd, bytes, size);
  if (out.failed) {
    out.error = errno;
    return false;
  }
  out.written += static_cast<std::int64_t>(size);
  checksum_add(&out.sum, bytes, size);
  return true;
}

}  // namespace

OutputBuffer make_output(int fd, char* data, std::size_t capacity) {
  OutputBuffer out;
  out.fd = fd;
  out.data = data;
  out.capacity = capacity;
  return out;
}

bool flush_output(OutputBuffer& out) {
  if (!out.failed && out.used > 0) write_out(out, out.data, out.used);
  out.used = 0;
  return !out.failed;
}

bool put_output(OutputBuffer& out, const void* bytes, std::size_t size) {
  if (out.failed) return false;
  if (out.used + size > out.capacity) {
    if (!flush_output(out)) return false;
    if (size > out.capacity) return write_out(out, bytes, size);
  }
  std::memcpy(out.data + out.used, bytes, size);
  out.used += size;
  return true;
}

int output_fd(const OutputBuffer& out) { return out.fd; }
bool output_failed(const OutputBuffer& out) { return out.failed; }

void release_output(OutputBuffer& out) {
  if (out.fd >= 0) close_fd(out.fd);
  out.fd = -1;
  out.used = 0;
}
