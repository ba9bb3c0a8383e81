// Backup copy and restore.
#include "files/copy_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "util/fd_io.h"
#include "util/stop_signal.h"
#include "util/system_calls.h"

namespace {

// One buffer for every copy of the run that the kernel cannot do itself.
char copy_buffer[16384];

// The kernel copies at most this much per call, so a stop signal is seen
// within a few milliseconds.
constexpr std::size_t kKernelChunk = std::size_t{8} << 20;

// Errors that mean the kernel cannot copy between these two files, as
// opposed to a failure of the files themselves.
bool kernel_copy_unsupported(int error) {
  return error == EXDEV || error == ENOSYS || error == EOPNOTSUPP || error == EINVAL;
}

// Copies from *offset on until the end of in; false on failure, with
// *fallback set when the copy can go on by hand from *offset.
bool copy_by_kernel(int in, int out, off_t* offset, bool stoppable, bool* fallback) {
  for (;;) {
    if (stoppable && stop_signal() != 0) return false;
    off_t in_offset = *offset;
    off_t out_offset = *offset;
    ssize_t n = sys().copy_file_range(in, &in_offset, out, &out_offset, kKernelChunk, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      *fallback = kernel_copy_unsupported(errno);
      return false;
    }
    if (n == 0) return true;
    *offset += n;
  }
}

bool copy_by_hand(int in, int out, off_t* offset, bool stoppable) {
  if (sys().lseek(in, *offset, SEEK_SET) < 0 || sys().lseek(out, *offset, SEEK_SET) < 0) return false;
  for (;;) {
    if (stoppable && stop_signal() != 0) return false;
    ssize_t n = read_some(in, copy_buffer, sizeof copy_buffer);
    if (n < 0) return false;
    if (n == 0) return true;
    if (!write_all(out, copy_buffer, static_cast<std::size_t>(n))) return false;
    *offset += n;
  }
}

// Copies the whole of in over out from offset 0, cuts out to that length
// (with cut) and flushes it. With stoppable, gives up (false) when a stop
// signal has arrived. The kernel's copy is tried first; where it cannot
// serve the pair, a 16 KiB read and write loop takes over from where it
// stopped.
bool copy_contents(int in, int out, bool stoppable, bool cut = true) {
  off_t length = 0;
  bool fallback = false;
  bool copied = copy_by_kernel(in, out, &length, stoppable, &fallback);
  if (!copied && fallback) copied = copy_by_hand(in, out, &length, stoppable);
  return copied && (!cut || sys().ftruncate(out, length) == 0) && sync_fd(out);
}

}  // namespace

namespace {

// What the model backup says of a copy beside it: a model that is the
// database itself, by a hard or a symbolic link, or a link elsewhere or
// anything but a regular file, is refused, as the run's files are;
// otherwise *mode and *owner are its own (has_model false: there is none).
CopyResult check_model(int folder, const char* model, const struct stat& source, struct stat* found,
                       bool* has_model) {
  *has_model = false;
  if (model == nullptr || sys().fstatat(folder, model, found, AT_SYMLINK_NOFOLLOW) != 0) {
    return CopyResult::copied;
  }
  struct stat target;
  if (S_ISLNK(found->st_mode)) {
    bool same = sys().fstatat(folder, model, &target, 0) == 0 && same_file(source, target);
    return same ? CopyResult::same_file : CopyResult::model_refused;
  }
  if (!S_ISREG(found->st_mode)) return CopyResult::model_refused;
  if (same_file(source, *found)) return CopyResult::same_file;
  *has_model = true;
  return CopyResult::copied;
}

}  // namespace

namespace {

// The spare file, renamed to destination and opened to be written over:
// only a regular file of the run's user with no other name; -1 otherwise.
int take_spare(int folder, const char* spare, const char* destination) {
  if (spare == nullptr || sys().renameat(folder, spare, folder, destination) != 0) return -1;
  struct stat st;
  int out = open_regular_at(folder, destination, O_WRONLY, 0, Links::refuse, &st);
  if (out >= 0 && (st.st_nlink != 1 || st.st_uid != ::geteuid())) {
    close_fd(out);  // nothing written
    out = -1;
  }
  return out;
}

}  // namespace

CopyResult copy_file(int folder, const char* source, const char* destination, const char* model,
                     const char* spare) {
  struct stat source_info;
  int in = open_regular_at(folder, source, O_RDONLY, 0, Links::refuse, &source_info);
  if (in < 0) return CopyResult::no_source;
  struct stat model_info;
  bool has_model = false;
  if (CopyResult refused = check_model(folder, model, source_info, &model_info, &has_model);
      refused != CopyResult::copied) {
    close_fd(in);
    return refused;
  }
  // Written over a spare file where there is one, as writing over a file's
  // blocks or pages costs less than allocating new ones; otherwise made
  // anew, so that no earlier file of that name (a copy a crash left half
  // done, a link) takes the bytes.
  int out = take_spare(folder, spare, destination);
  bool reused = out >= 0;
  if (!reused) {
    if (sys().unlinkat(folder, destination, 0) != 0 && errno != ENOENT) {
      close_fd(in);
      return CopyResult::no_destination;
    }
    out = open_regular_at(folder, destination, O_WRONLY | O_CREAT | O_EXCL, 0600, Links::refuse);
  }
  if (out < 0) {
    close_fd(in);
    return CopyResult::no_destination;
  }
  // The mode and owner of the backup it follows.
  mode_t mode = has_model ? model_info.st_mode & 07777 : 0600;
  bool copied =
      ((!has_model && !reused) || sys().fchmod(out, mode) == 0) &&
      (!has_model || ::geteuid() != 0 || sys().fchown(out, model_info.st_uid, model_info.st_gid) == 0);
  copied = copied && copy_contents(in, out, true);
  copied = close_fd(out) && copied;
  close_fd(in);  // read-only: its close cannot lose data
  // The folder entry of a newly created backup must be durable too
  // before the database may be touched.
  copied = copied && sync_folder(folder);
  if (copied) return CopyResult::copied;
  sys().unlinkat(folder, destination, 0);
  return stop_signal() != 0 ? CopyResult::stopped : CopyResult::failed;
}

bool restore_database(int backup_fd, int folder, const char* database, bool cut) {
  int out = open_regular_at(folder, database, O_WRONLY | O_CREAT, 0666, Links::refuse);
  if (out < 0) return false;
  bool restored = copy_contents(backup_fd, out, false, cut);
  restored = close_fd(out) && restored;
  return restored && sync_folder(folder);
}

bool put_back_appended(int folder, const char* added, const char* database, std::int64_t from,
                       std::int64_t to) {
  int in = open_regular_at(folder, added, O_RDONLY, 0, Links::refuse);
  if (in < 0) return false;
  int out = open_regular_at(folder, database, O_WRONLY, 0, Links::refuse);
  // What follows `to` stays: records appended after the last move that the
  // journal names, which the move never wrote over.
  bool ok = out >= 0 && copy_range(in, 0, out, static_cast<off_t>(from), to - from) && sync_fd(out);
  if (out >= 0) ok = close_fd(out) && ok;
  close_fd(in);
  return ok;
}
