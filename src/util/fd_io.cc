// Retrying descriptor I/O.
#include "util/fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// Databases over 2 GiB: every file the tool opens, reads or truncates needs
// 64-bit offsets, also on 32-bit targets (built with _FILE_OFFSET_BITS=64).
static_assert(sizeof(off_t) >= 8, "64-bit file offsets are needed");

ssize_t read_some(int fd, void* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool write_all(int fd, const void* buffer, std::size_t size) {
  const char* p = static_cast<const char*>(buffer);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {  // no progress and no error: treat as out of space
      errno = ENOSPC;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool sync_fd(int fd) {
  for (;;) {
    if (::fsync(fd) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool close_fd(int fd) { return ::close(fd) == 0 || errno == EINTR; }

bool sync_parent_directory(const char* path) {
  char directory[4096];
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::strcpy(directory, ".");
  } else if (slash == path) {
    std::strcpy(directory, "/");
  } else {
    auto length = static_cast<std::size_t>(slash - path);
    if (length >= sizeof directory) return false;
    std::memcpy(directory, path, length);
    directory[length] = '\0';
  }
  int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = sync_fd(fd) || errno == EINVAL;  // some file systems cannot sync a directory
  return close_fd(fd) && synced;
}
