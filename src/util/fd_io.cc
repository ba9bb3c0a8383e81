// Retrying descriptor I/O and checked opens.
#include "util/fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/stop_signal.h"
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

namespace {

// The kernel copies at most this much per call, so a stop signal is seen
// within a few milliseconds.
constexpr std::size_t kKernelChunk = std::size_t{8} << 20;

// The buffer of every copy the kernel does not do itself: one, for the
// whole run.
char copy_buffer[16384];

std::size_t chunk(std::int64_t left, std::size_t most) {
  return left < 0 || left > static_cast<std::int64_t>(most) ? most : static_cast<std::size_t>(left);
}

}  // namespace

bool copy_bytes(int in, off_t from, int out, off_t to, std::int64_t length, bool stoppable, bool* in_failed,
                std::int64_t* copied) {
  std::int64_t done = 0;
  *in_failed = false;
  bool by_kernel = true;
  bool ok = true;
  while (length < 0 || done < length) {
    if (stoppable && stop_signal() != 0) {
      errno = EINTR;
      ok = false;
      break;
    }
    std::int64_t left = length < 0 ? -1 : length - done;
    ssize_t n;
    if (by_kernel) {
      off_t in_offset = from + done;
      off_t out_offset = to + done;
      n = sys().copy_file_range(in, &in_offset, out, &out_offset, chunk(left, kKernelChunk), 0);
      if (n < 0 && errno == EINTR) continue;
      // Any failure of the kernel's copy (files it cannot copy between, or
      // a fault) is taken over by hand, which tells a read from a write.
      if (n < 0) {
        by_kernel = false;
        continue;
      }
    } else {
      n = pread_full(in, copy_buffer, chunk(left, sizeof copy_buffer), from + done);
      if (n < 0) {
        *in_failed = true;
        ok = false;
        break;
      }
      if (n > 0 && !pwrite_all(out, copy_buffer, static_cast<std::size_t>(n), to + done)) {
        ok = false;
        break;
      }
    }
    if (n == 0) {
      // The end of in: early when a length was asked for.
      if (length >= 0) {
        *in_failed = true;
        errno = EIO;
        ok = false;
      }
      break;
    }
    done += n;
  }
  if (copied != nullptr) *copied = done;
  return ok;
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
  if (fd < 0 && errno == ELOOP && links == Links::refuse) errno = 0;  // a link: refused, no system error
  if (fd < 0) return -1;
  struct stat st;
  bool looked = sys().fstat(fd, &st) == 0;
  if (!looked || !S_ISREG(st.st_mode) || sys().set_status_flags(fd, flags & O_APPEND) != 0) {
    int error = looked && !S_ISREG(st.st_mode) ? 0 : errno;  // not a regular file: refused, no system error
    close_fd(fd);
    errno = error;
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
