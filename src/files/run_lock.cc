// Run lock.
#include "files/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/safe_folder.h"
#include "util/fd_io.h"
#include "util/system_calls.h"

namespace {

// Open-file-description locks belong to the open file, like the flock, and
// so are neither shared with nor dropped by another descriptor of the same
// process; plain process-owned record locks stand in where they are
// missing.
#ifdef F_OFD_SETLK
constexpr int kSetRecordLock = F_OFD_SETLK;
constexpr int kGetRecordLock = F_OFD_GETLK;
#else
constexpr int kSetRecordLock = F_SETLK;
constexpr int kGetRecordLock = F_GETLK;
#endif

// A write lock over the whole file, from its start to any length.
struct flock whole_file_write_lock() {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return lock;
}

// Takes the record lock without waiting. Only a lock held elsewhere counts
// as the file in use: where record locks are refused for any other reason
// the flock alone guards the run, which monitoring then cannot see.
bool take_record_lock(int fd) {
  struct flock lock = whole_file_write_lock();
  return sys().record_lock(fd, kSetRecordLock, &lock) == 0 || (errno != EAGAIN && errno != EACCES);
}

}  // namespace

LockResult lock_file(int fd) {
  for (;;) {
    if (sys().flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? LockResult::in_use : LockResult::cannot_open;
  }
  return take_record_lock(fd) ? LockResult::locked : LockResult::in_use;
}

LockResult take_run_lock(int folder, const char* name, int* fd) {
  struct stat st;
  int lock = open_regular_at(folder, name, O_RDWR | O_CREAT, 0600, Links::refuse, &st);
  if (lock < 0) return LockResult::cannot_open;
  // The journal in it says which files a later run cuts back: nobody but
  // the run's own user may be able to write it.
  if (st.st_uid != ::geteuid() || writable_by_others(lock, st, false)) {
    close_fd(lock);
    errno = 0;  // refused: no system error
    return LockResult::cannot_open;
  }
  LockResult locked = lock_file(lock);
  if (locked != LockResult::locked) {
    close_fd(lock);
    return locked;
  }
  *fd = lock;
  return LockResult::locked;
}

bool run_lock_is_held(int fd) {
  struct flock lock = whole_file_write_lock();
  return sys().record_lock(fd, kGetRecordLock, &lock) == 0 && lock.l_type != F_UNLCK;
}
