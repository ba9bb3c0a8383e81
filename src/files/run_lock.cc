// Run lock.
#include "files/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "util/fd_io.h"

LockResult take_run_lock(const char* path, int* fd) {
  int lock = open_regular(path, O_RDWR | O_CREAT, 0600, Links::refuse);
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
