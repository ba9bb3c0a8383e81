// Buffered, checked writes to a descriptor.
#include "util/output_buffer.h"

#include <cstring>

#include "util/fd_io.h"

namespace {

bool write_out(OutputBuffer& out, const void* bytes, std::size_t size) {
  if (!out.written && out.before_first_write != nullptr && !out.before_first_write(out.target, bytes, size)) {
    out.failed = true;
    return false;
  }
  out.written = true;
  out.failed = !write_all(out.fd, bytes, size);
  return !out.failed;
}

}  // namespace

OutputBuffer make_output(int fd, char* data, std::size_t capacity) {
  OutputBuffer out;
  out.fd = fd;
  out.data = data;
  out.capacity = capacity;
  return out;
}

void set_first_write_hook(OutputBuffer& out, bool (*hook)(void* target, const void* bytes, std::size_t size),
                          void* target) {
  out.before_first_write = hook;
  out.target = target;
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

void drop_output(OutputBuffer& out) { out.used = 0; }

int output_fd(const OutputBuffer& out) { return out.fd; }
bool output_failed(const OutputBuffer& out) { return out.failed; }
bool output_written(const OutputBuffer& out) { return out.written; }

bool close_output(OutputBuffer& out) {
  bool closed = out.fd < 0 || close_fd(out.fd);
  out.fd = -1;
  return closed;
}

void release_output(OutputBuffer& out) {
  if (out.fd >= 0) close_fd(out.fd);
  out.fd = -1;
}
