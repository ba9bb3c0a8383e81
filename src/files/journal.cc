// The journal in the lock file: writing, reading and undoing it.
#include "files/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "util/fd_io.h"

namespace {

constexpr char kMark[] = "rewriting";
constexpr std::size_t kMarkLength = sizeof kMark - 1;
// The mark, and per file: "\nappend DEV INO LENGTH PATHLENGTH " and the
// path. The path goes last, counted, so any byte may stand in it.
constexpr std::size_t kJournalSize = kMarkLength + kMaxAppendedFiles * (96 + kJournalPathSize);

bool write_at(int fd, const char* bytes, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Parses one "\nappend ..." entry at *p; false when it is malformed.
bool parse_entry(const char** p, const char* end, AppendedFile* file) {
  char head[96];
  std::size_t n = static_cast<std::size_t>(end - *p) < sizeof head - 1 ? static_cast<std::size_t>(end - *p)
                                                                       : sizeof head - 1;
  std::memcpy(head, *p, n);
  head[n] = '\0';
  unsigned long long path_length = 0;
  int used = 0;
  if (std::sscanf(head, "\nappend %" SCNu64 " %" SCNu64 " %" SCNd64 " %llu %n", &file->device, &file->inode,
                  &file->length, &path_length, &used) != 4 ||
      used == 0 || path_length >= kJournalPathSize || file->length < 0 ||
      static_cast<std::size_t>(end - *p) < used + path_length) {
    return false;
  }
  std::memcpy(file->path, *p + used, path_length);
  file->path[path_length] = '\0';
  *p += used + path_length;
  return true;
}

// Cuts one file back; true when it is as the journal wants it or is no
// longer the journal's file.
bool cut_file(const AppendedFile& file) {
  struct stat st;
  int fd = open_regular(file.path, O_WRONLY, 0, Links::follow, &st);
  if (fd < 0)
    return errno == ENOENT || errno == ELOOP || errno == EINVAL || errno == ENOTDIR || errno == ENXIO;
  bool ok = true;
  if (st.st_dev == file.device && st.st_ino == file.inode && st.st_size > file.length) {
    ok = ::ftruncate(fd, static_cast<off_t>(file.length)) == 0 && sync_fd(fd);
  }
  return close_fd(fd) && ok;
}

}  // namespace

bool journal_appended_file(Journal* journal, const char* path, int fd) {
  struct stat st;
  if (journal->count >= kMaxAppendedFiles || std::strlen(path) >= kJournalPathSize || ::fstat(fd, &st) != 0) {
    return false;
  }
  AppendedFile& file = journal->files[journal->count++];
  std::strcpy(file.path, path);
  file.device = static_cast<std::uint64_t>(st.st_dev);
  file.inode = static_cast<std::uint64_t>(st.st_ino);
  file.length = static_cast<std::int64_t>(st.st_size);
  return true;
}

bool mark_rewriting(int lock_fd, const Journal& journal) {
  char text[kJournalSize];
  std::size_t size = kMarkLength;
  std::memcpy(text, kMark, kMarkLength);
  for (int i = 0; i < journal.count; ++i) {
    const AppendedFile& file = journal.files[i];
    std::size_t path_length = std::strlen(file.path);
    size += static_cast<std::size_t>(std::snprintf(text + size, sizeof text - size,
                                                   "\nappend %" PRIu64 " %" PRIu64 " %" PRId64 " %zu ",
                                                   file.device, file.inode, file.length, path_length));
    std::memcpy(text + size, file.path, path_length);
    size += path_length;
  }
  return ::ftruncate(lock_fd, 0) == 0 && write_at(lock_fd, text, size) && sync_fd(lock_fd);
}

bool read_mark(int lock_fd, Journal* journal) {
  char text[kJournalSize + 1];
  ssize_t n;
  do {
    n = ::pread(lock_fd, text, sizeof text, 0);
  } while (n < 0 && errno == EINTR);
  journal->count = 0;
  if (n < static_cast<ssize_t>(kMarkLength) || std::memcmp(text, kMark, kMarkLength) != 0) return false;
  const char* p = text + kMarkLength;
  const char* end = text + n;
  // Entries that cannot be read are passed over: the database is still
  // restored, which is what the plain mark asks for.
  while (p < end && journal->count < kMaxAppendedFiles &&
         parse_entry(&p, end, &journal->files[journal->count])) {
    ++journal->count;
  }
  return true;
}

bool clear_rewriting(int lock_fd) { return ::ftruncate(lock_fd, 0) == 0 && sync_fd(lock_fd); }

bool cut_appended_files(const Journal& journal, const char** failed_path) {
  for (int i = 0; i < journal.count; ++i) {
    if (!cut_file(journal.files[i])) {
      *failed_path = journal.files[i].path;
      return false;
    }
  }
  return true;
}
