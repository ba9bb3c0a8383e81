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
// The mark; "\nbackup DEV INO LENGTH"; and per file "\nappend DEV INO
// LENGTH PATHLENGTH " and the path. The path goes last, counted, so any
// byte may stand in it.
constexpr std::size_t kJournalSize = kMarkLength + 96 + kMaxAppendedFiles * (96 + kJournalPathSize);

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

// Copies the start of [p, end) into head as a NUL-terminated text.
void take_head(const char* p, const char* end, char (&head)[96]) {
  std::size_t n = static_cast<std::size_t>(end - p) < sizeof head - 1 ? static_cast<std::size_t>(end - p)
                                                                      : sizeof head - 1;
  std::memcpy(head, p, n);
  head[n] = '\0';
}

// Parses the "\nbackup ..." entry at *p; false when there is none.
bool parse_backup(const char** p, const char* end, FileIdentity* backup) {
  char head[96];
  take_head(*p, end, head);
  int used = 0;
  if (std::sscanf(head, "\nbackup %" SCNu64 " %" SCNu64 " %" SCNd64 "%n", &backup->device, &backup->inode,
                  &backup->length, &used) != 3 ||
      used == 0) {
    return false;
  }
  *p += used;
  return true;
}

// Parses one "\nappend ..." entry at *p; false when it is malformed. The
// path starts right after the one blank that follows its length, whatever
// its first bytes are.
bool parse_entry(const char** p, const char* end, AppendedFile* file) {
  char head[96];
  take_head(*p, end, head);
  unsigned long long path_length = 0;
  int used = 0;
  FileIdentity& id = file->identity;
  if (std::sscanf(head, "\nappend %" SCNu64 " %" SCNu64 " %" SCNd64 " %llu%n", &id.device, &id.inode,
                  &id.length, &path_length, &used) != 4 ||
      used == 0 || head[used] != ' ' || path_length >= kJournalPathSize || id.length < 0 ||
      static_cast<std::size_t>(end - *p) < used + 1 + path_length) {
    return false;
  }
  std::memcpy(file->path, *p + used + 1, path_length);
  file->path[path_length] = '\0';
  *p += used + 1 + path_length;
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
  const FileIdentity& id = file.identity;
  if (st.st_dev == id.device && st.st_ino == id.inode && st.st_size > id.length) {
    ok = ::ftruncate(fd, static_cast<off_t>(id.length)) == 0 && sync_fd(fd);
  }
  return close_fd(fd) && ok;
}

}  // namespace

bool identify_file(int fd, FileIdentity* identity) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  *identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
               static_cast<std::int64_t>(st.st_size)};
  return true;
}

bool journal_appended_file(Journal* journal, const char* path, int fd) {
  if (journal->count >= kMaxAppendedFiles || std::strlen(path) >= kJournalPathSize) return false;
  AppendedFile& file = journal->files[journal->count];
  if (!identify_file(fd, &file.identity)) return false;
  std::strcpy(file.path, path);
  ++journal->count;
  return true;
}

bool mark_rewriting(int lock_fd, const Journal& journal) {
  char text[kJournalSize];
  std::size_t size = kMarkLength;
  std::memcpy(text, kMark, kMarkLength);
  if (journal.has_backup) {
    const FileIdentity& b = journal.backup;
    size += static_cast<std::size_t>(std::snprintf(text + size, sizeof text - size,
                                                   "\nbackup %" PRIu64 " %" PRIu64 " %" PRId64, b.device,
                                                   b.inode, b.length));
  }
  for (int i = 0; i < journal.count; ++i) {
    const AppendedFile& file = journal.files[i];
    const FileIdentity& id = file.identity;
    std::size_t path_length = std::strlen(file.path);
    size += static_cast<std::size_t>(std::snprintf(text + size, sizeof text - size,
                                                   "\nappend %" PRIu64 " %" PRIu64 " %" PRId64 " %zu ",
                                                   id.device, id.inode, id.length, path_length));
    std::memcpy(text + size, file.path, path_length);
    size += path_length;
  }
  return ::ftruncate(lock_fd, 0) == 0 && write_at(lock_fd, text, size) && sync_fd(lock_fd);
}

MarkState read_mark(int lock_fd, Journal* journal) {
  char text[kJournalSize + 1];
  ssize_t n;
  do {
    n = ::pread(lock_fd, text, sizeof text, 0);
  } while (n < 0 && errno == EINTR);
  *journal = Journal{};
  if (n < 0) return MarkState::unreadable;
  if (n < static_cast<ssize_t>(kMarkLength) || std::memcmp(text, kMark, kMarkLength) != 0) {
    return MarkState::clear;
  }
  const char* p = text + kMarkLength;
  const char* end = text + n;
  journal->has_backup = parse_backup(&p, end, &journal->backup);
  // Entries that cannot be read are passed over: the database is still
  // restored, which is what the plain mark asks for.
  while (p < end && journal->count < kMaxAppendedFiles &&
         parse_entry(&p, end, &journal->files[journal->count])) {
    ++journal->count;
  }
  return MarkState::marked;
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
