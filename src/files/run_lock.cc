// Run lock and rewriting mark.
#include "files/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/fd_io.h"

namespace {

constexpr char kMark[] = "rewriting";
constexpr std::size_t kMarkLength = sizeof kMark - 1;

}  // namespace

LockResult take_run_lock(const char* path, int* fd) {
  int lock = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) return LockResult::cannot_open;
  for (;;) {
    if (::flock(lock, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    bool busy = errno == EWOULDBLOCK;
    close_fd(lock);
    return busy ? LockResult::in_use : LockResult::cannot_open;
  }
  *fd = lock;
  return LockResult::locked;
}

bool is_marked_rewriting(int fd) {
  char content[kMarkLength];
  ssize_t n;
  do {
    n = ::pread(fd, content, sizeof content, 0);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(kMarkLength) && std::memcmp(content, kMark, kMarkLength) == 0;
}

bool mark_rewriting(int fd) {
  if (::ftruncate(fd, 0) != 0) return false;
  ssize_t n;
  do {
    n = ::pwrite(fd, kMark, kMarkLength, 0);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(kMarkLength) && sync_fd(fd);
}

bool clear_rewriting(int fd) { return ::ftruncate(fd, 0) == 0 && sync_fd(fd); }
