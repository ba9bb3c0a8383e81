// Backup copy and restore.
#include "files/copy_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "util/fd_io.h"
#include "util/stop_signal.h"
#include "util/system_calls.h"

namespace {

// What model says of a copy of source beside it: *info holds the mode and
// owner the copy takes (*has_mode false: 0600 narrowed by the umask). A
// model that is the database itself, by a hard or a symbolic link, or a
// link elsewhere or anything but a regular file, is refused, as the run's
// files are.
CopyResult check_model(int folder, const char* model, const struct stat& source, struct stat* info,
                       bool* has_mode) {
  *has_mode = true;
  if (model == nullptr) {
    *info = source;
    return CopyResult::copied;
  }
  *has_mode = false;
  if (sys().fstatat(folder, model, info, AT_SYMLINK_NOFOLLOW) != 0) return CopyResult::copied;
  struct stat target;
  if (S_ISLNK(info->st_mode)) {
    bool same = sys().fstatat(folder, model, &target, 0) == 0 && same_file(source, target);
    return same ? CopyResult::same_file : CopyResult::model_refused;
  }
  if (!S_ISREG(info->st_mode)) return CopyResult::model_refused;
  if (same_file(source, *info)) return CopyResult::same_file;
  *has_mode = true;
  return CopyResult::copied;
}

}  // namespace

CopyResult copy_file(int folder, const char* source, const char* destination, const char* model,
                     const char** failed_name) {
  *failed_name = source;
  struct stat source_info;
  int in = open_regular_at(folder, source, O_RDONLY, 0, Links::refuse, &source_info);
  if (in < 0) return CopyResult::no_source;
  struct stat model_info;
  bool has_mode = false;
  CopyResult refused = check_model(folder, model, source_info, &model_info, &has_mode);
  *failed_name = destination;
  int out = -1;
  if (refused == CopyResult::copied && (sys().unlinkat(folder, destination, 0) == 0 || errno == ENOENT)) {
    out = open_regular_at(folder, destination, O_WRONLY | O_CREAT | O_EXCL, 0600, Links::refuse);
  }
  if (out < 0) {
    close_fd(in);  // read-only: its close cannot lose data
    return refused != CopyResult::copied ? refused : CopyResult::no_destination;
  }
  bool in_failed = false;
  bool copied =
      (!has_mode || sys().fchmod(out, model_info.st_mode & 07777) == 0) &&
      (!has_mode || ::geteuid() != 0 || sys().fchown(out, model_info.st_uid, model_info.st_gid) == 0) &&
      copy_bytes(in, 0, out, 0, -1, true, &in_failed) && sync_fd(out);
  int error = errno;
  if (in_failed) *failed_name = source;
  bool closed = close_fd(out);
  if (copied && !closed) error = errno;
  copied = copied && closed;
  close_fd(in);
  // The folder entry of the new backup must be durable too before the
  // database may be touched.
  if (copied && !sync_folder(folder)) {
    copied = false;
    error = errno;
  }
  if (copied) return CopyResult::copied;
  sys().unlinkat(folder, destination, 0);
  errno = error;
  return stop_signal() != 0 ? CopyResult::stopped : CopyResult::failed;
}

bool restore_database(int backup_fd, int folder, const char* database, bool cut) {
  int out = open_regular_at(folder, database, O_WRONLY | O_CREAT, 0666, Links::refuse);
  if (out < 0) return false;
  bool in_failed = false;
  std::int64_t length = 0;
  bool restored = copy_bytes(backup_fd, 0, out, 0, -1, false, &in_failed, &length) &&
                  (!cut || sys().ftruncate(out, static_cast<off_t>(length)) == 0) && sync_fd(out);
  restored = close_fd(out) && restored;
  return restored && sync_folder(folder);
}

bool begins_with_copy(int folder, const char* database, const char* backup) {
  int a = open_regular_at(folder, database, O_RDONLY, 0, Links::refuse);
  int b = open_regular_at(folder, backup, O_RDONLY, 0, Links::refuse);
  static char in_a[16384], in_b[16384];
  bool same = a >= 0 && b >= 0;
  for (off_t at = 0; same;) {
    ssize_t n = pread_full(b, in_b, sizeof in_b, at);
    same = n >= 0 && pread_full(a, in_a, static_cast<std::size_t>(n), at) == n &&
           std::memcmp(in_a, in_b, static_cast<std::size_t>(n)) == 0;
    if (n <= 0) break;
    at += n;
  }
  for (int fd : {a, b}) {
    if (fd >= 0) close_fd(fd);  // read-only
  }
  return same;
}

bool put_back_appended(int folder, const char* added, const char* database, std::int64_t from,
                       std::int64_t to, bool* added_failed) {
  int in = open_regular_at(folder, added, O_RDONLY, 0, Links::refuse);
  *added_failed = in < 0;
  if (in < 0) return false;
  int out = open_regular_at(folder, database, O_WRONLY, 0, Links::refuse);
  bool& in_failed = *added_failed;
  // What follows `to` stays: records appended after the last move that the
  // journal names, which the move never wrote over.
  bool ok = out >= 0 && copy_bytes(in, 0, out, static_cast<off_t>(from), to - from, false, &in_failed) &&
            sync_fd(out);
  if (out >= 0) ok = close_fd(out) && ok;
  close_fd(in);
  return ok;
}
