// Checking and taking the steps that undo an interrupted run.
#include "files/undo.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "util/fd_io.h"
#include "util/system_calls.h"

namespace {

// Opens the journaled file for cutting back: by its path from folder,
// else by its real path (a site moved without a file outside it); an
// older run's entry by the path it was opened by, from the working
// directory and through links as that run followed them. -1 when it
// cannot be found safely.
int open_journaled(const OpenFolder& folder, const AppendedFile& file, bool strict, struct stat* st) {
  OpenFolder holder;
  char name[kNameSize];
  char shown[kRealPathSize];
  WalkResult found = WalkResult::failed;
  if (file.legacy) {
    found = open_file_folder(file.path, {strict, true}, &holder, name, shown);
  } else {
    if (file.path[0] != '\0') found = open_file_folder_from(folder, file.path, strict, &holder, name, shown);
    if (found != WalkResult::opened && file.real[0] == '/') {
      found = open_file_folder(file.real, {strict, false}, &holder, name, shown);
    }
  }
  if (found != WalkResult::opened) return -1;
  int fd = open_regular_at(holder.fd, name, O_RDWR, 0, Links::refuse, st);
  close_folder(&holder);
  return fd;
}

// Whether the open file holds, after the journaled length, the first
// bytes of the run's first write (as many as it holds), and before it the
// part the journal identifies.
bool holds_the_runs_bytes(int fd, const struct stat& st, const AppendedFile& file) {
  std::uint64_t tail = 0;
  if (!hash_tail(fd, file.length, &tail) || tail != file.tail) return false;
  std::int64_t after = st.st_size - file.length;
  std::size_t count = static_cast<std::size_t>(after < file.first_count ? after : file.first_count);
  unsigned char bytes[kFirstBytes];
  return pread_full(fd, bytes, count, static_cast<off_t>(file.length)) == static_cast<ssize_t>(count) &&
         std::memcmp(bytes, file.first, count) == 0;
}

// What undoing file needs; *fd is open when it is to be cut.
UndoProblem check_file(const OpenFolder& folder, const AppendedFile& file, bool strict, int* fd) {
  *fd = -1;
  if (!file.legacy && file.first_count == 0) return UndoProblem::none;  // never written to
  struct stat st;
  int opened = open_journaled(folder, file, strict, &st);
  if (opened < 0) return UndoProblem::missing;
  UndoProblem problem = UndoProblem::none;
  if (file.legacy) {
    if (static_cast<std::uint64_t>(st.st_dev) != file.device ||
        static_cast<std::uint64_t>(st.st_ino) != file.inode) {
      problem = UndoProblem::changed;
    }
  } else if (st.st_size < file.length || (file.has_end && st.st_size > file.end) ||
             (st.st_size > file.length && !holds_the_runs_bytes(opened, st, file))) {
    // Cut short, written to after the run ended its appends, or holding
    // other bytes than the run's.
    problem = UndoProblem::changed;
  }
  if (problem == UndoProblem::none && st.st_size > file.length) {
    *fd = opened;
  } else {
    close_fd(opened);  // already as it was before the run, or not to be touched
  }
  return problem;
}

UndoProblem check_backup(int fd, const struct stat& st, const Journal& journal) {
  if (!journal.has_backup) return UndoProblem::none;
  if (journal.legacy_backup) {
    return static_cast<std::uint64_t>(st.st_dev) == journal.backup_device &&
                   static_cast<std::uint64_t>(st.st_ino) == journal.backup_inode &&
                   st.st_size == journal.backup.length
               ? UndoProblem::none
               : UndoProblem::changed;
  }
  CopyIdentity found;
  if (!identify_copy(fd, &found)) return UndoProblem::changed;
  const CopyIdentity& copied = journal.backup;
  return found.length == copied.length && found.mtime == copied.mtime && found.sample == copied.sample
             ? UndoProblem::none
             : UndoProblem::changed;
}

}  // namespace

void check_undo(const OpenFolder& folder, const char* backup, const Journal& journal, bool strict,
                UndoCheck* check) {
  *check = UndoCheck{};
  struct stat st;
  check->backup_fd = open_regular_at(folder.fd, backup, O_RDONLY, 0, Links::refuse, &st);
  check->backup = check->backup_fd < 0 ? UndoProblem::missing : check_backup(check->backup_fd, st, journal);
  for (int i = 0; i < journal.count; ++i) {
    check->file[i] = check_file(folder, journal.files[i], strict, &check->file_fd[i]);
  }
}

bool undo_is_safe(const UndoCheck& check) {
  if (check.backup != UndoProblem::none) return false;
  for (UndoProblem problem : check.file) {
    if (problem != UndoProblem::none) return false;
  }
  return true;
}

bool cut_back(int fd, std::int64_t length) {
  return sys().ftruncate(fd, static_cast<off_t>(length)) == 0 && sync_fd(fd);
}

bool cut_files(const Journal& journal, const UndoCheck& check, int* failed) {
  for (int i = 0; i < journal.count; ++i) {
    if (check.file_fd[i] >= 0 && !cut_back(check.file_fd[i], journal.files[i].length)) {
      *failed = i;
      return false;
    }
  }
  return true;
}

void close_undo(UndoCheck* check) {
  if (check->backup_fd >= 0) close_fd(check->backup_fd);
  check->backup_fd = -1;
  for (int& fd : check->file_fd) {
    if (fd >= 0) close_fd(fd);
    fd = -1;
  }
}
