// Retrying descriptor I/O and checked opens.
#include "util/fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/system_calls.h"

// Databases over 2 GiB: every file the tool opens, reads or truncates needs
// 64-bit offsets, also on 32-bit targets (built with _FILE_OFFSET_BITS=64).
static_assert(sizeof(off_t) >= 8, "64-bit file offsets are needed");

ssize_t read_some(int fd, void* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = sys().read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

ssize_t read_full(int fd, void* buffer, std::size_t size) {
  char* p = static_cast<char*>(buffer);
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = read_some(fd, p + got, size - got);
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool write_all(int fd, const void* buffer, std::size_t size) {
  const char* p = static_cast<const char*>(buffer);
  while (size > 0) {
    ssize_t n = sys().write(fd, p, size);
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

ssize_t pread_full(int fd, void* buffer, std::size_t size, off_t offset) {
  char* p = static_cast<char*>(buffer);
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = sys().pread(fd, p + got, size - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool pwrite_all(int fd, const void* buffer, std::size_t size, off_t offset) {
  const char* p = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = sys().pwrite(fd, p + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool copy_range(int in, off_t from, int out, off_t to, std::int64_t length) {
  char buffer[16384];
  while (length > 0) {
    std::size_t want =
        length < static_cast<std::int64_t>(sizeof buffer) ? static_cast<std::size_t>(length) : sizeof buffer;
    if (pread_full(in, buffer, want, from) != static_cast<ssize_t>(want) ||
        !pwrite_all(out, buffer, want, to)) {
      return false;
    }
    from += static_cast<off_t>(want);
    to += static_cast<off_t>(want);
    length -= static_cast<std::int64_t>(want);
  }
  return true;
}

bool sync_fd(int fd) {
  for (;;) {
    if (sys().fsync(fd) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool close_fd(int fd) { return sys().close(fd) == 0 || errno == EINTR; }

bool remove_file(int folder, const char* name) {
  return sys().unlinkat(folder, name, 0) == 0 || errno == ENOENT;
}

bool sync_folder(int fd) { return sync_fd(fd) || errno == EINVAL; }

int open_regular_at(int folder, const char* name, int flags, mode_t mode, Links links, struct stat* info) {
  // O_NONBLOCK: opening a FIFO must not wait for a peer; it is cleared
  // again once the file is known to be a regular one.
  int extra = O_NONBLOCK | O_CLOEXEC | (links == Links::refuse ? O_NOFOLLOW : 0);
  int fd;
  do {
    fd = sys().openat(folder, name, flags | extra, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st;
  if (sys().fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      sys().set_status_flags(fd, flags & O_APPEND) != 0) {
    close_fd(fd);
    errno = EINVAL;
    return -1;
  }
  if (info != nullptr) *info = st;
  return fd;
}

int open_regular(const char* path, int flags, mode_t mode, Links links, struct stat* info) {
  return open_regular_at(AT_FDCWD, path, flags, mode, links, info);
}

void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free number is fd itself, since those below it are open.
      if (::open("/dev/null", O_RDWR) < 0) break;
    }
  }
}
