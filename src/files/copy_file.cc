// Backup copy and restore.
#include "files/copy_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "util/fd_io.h"

namespace {

// One buffer for every copy of the run.
char copy_buffer[16384];

// Copies everything from in to out, then flushes out to stable storage.
bool copy_descriptors(int in, int out) {
  for (;;) {
    ssize_t n = read_some(in, copy_buffer, sizeof copy_buffer);
    if (n < 0) return false;
    if (n == 0) return sync_fd(out);
    if (!write_all(out, copy_buffer, static_cast<std::size_t>(n))) return false;
  }
}

}  // namespace

bool copy_file(const char* source, const char* destination) {
  int in = ::open(source, O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    std::fprintf(stderr, "Cannot find %s\n", source);
    return false;
  }
  int out = ::open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) {
    close_fd(in);
    std::fprintf(stderr, "Cannot create %s\n", destination);
    return false;
  }
  bool copied = copy_descriptors(in, out);
  copied = close_fd(out) && copied;
  close_fd(in);  // read-only: its close cannot lose data
  // The directory entry of a newly created backup must be durable too
  // before the database may be truncated.
  copied = copied && sync_parent_directory(destination);
  if (!copied) ::unlink(destination);
  return copied;
}

bool restore_file(const char* backup, const char* database) {
  int in = ::open(backup, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = ::open(database, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    close_fd(in);
    return false;
  }
  bool restored = copy_descriptors(in, out);
  restored = close_fd(out) && restored;
  close_fd(in);
  return restored && sync_parent_directory(database);
}
