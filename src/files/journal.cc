// The journal in the lock file: writing and reading it.
#include "files/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "util/fd_io.h"
#include "util/system_calls.h"

namespace {

constexpr char kMark[] = "rewriting";
constexpr std::size_t kMarkLength = sizeof kMark - 1;
constexpr char kVersionLine[] = "rewriting 2\n";
constexpr std::size_t kJournalSize = 20480;
static_assert(kJournalSize >= sizeof kVersionLine + 80 + kMaxAppendedFiles * (100 + 2 * kJournalPathSize) +
                                  kMaxAppendedFiles * (40 + kFirstBytes) + kMaxAppendedFiles * 40);
constexpr std::int64_t kSampleSize = 65536;  // from each end of the backup
constexpr std::int64_t kTailSize = 4096;

// Copies the start of [p, end) into head as a NUL-terminated text.
void take_head(const char* p, const char* end, char (&head)[96]) {
  std::size_t n = static_cast<std::size_t>(end - p) < sizeof head - 1 ? static_cast<std::size_t>(end - p)
                                                                      : sizeof head - 1;
  std::memcpy(head, p, n);
  head[n] = '\0';
}

bool hash_range(int fd, std::int64_t from, std::int64_t to, std::uint64_t* hash) {
  char buffer[16384];
  while (from < to) {
    std::size_t want = static_cast<std::size_t>(to - from) < sizeof buffer
                           ? static_cast<std::size_t>(to - from)
                           : sizeof buffer;
    ssize_t n = pread_full(fd, buffer, want, static_cast<off_t>(from));
    if (n != static_cast<ssize_t>(want)) return false;
    *hash = hash_bytes(buffer, want, *hash);
    from += static_cast<std::int64_t>(want);
  }
  return true;
}

// Line parsers for the current format: each takes the line at *p (after
// its keyword and blank), and moves *p past its line feed.

bool parse_copy(const char** p, const char* end, CopyIdentity* copy) {
  char head[96];
  take_head(*p, end, head);
  int used = 0;
  if (std::sscanf(head, "%" SCNd64 " %" SCNd64 " %" SCNu64 "%n", &copy->length, &copy->mtime, &copy->sample,
                  &used) != 3 ||
      head[used] != '\n') {
    return false;
  }
  *p += used + 1;
  return true;
}

// The counted bytes at *p, which must be followed by a line feed.
bool take_counted(const char** p, const char* end, std::size_t count, void* out) {
  if (static_cast<std::size_t>(end - *p) < count + 1 || (*p)[count] != '\n') return false;
  std::memcpy(out, *p, count);
  *p += count + 1;
  return true;
}

// A counted text, "LENGTH TEXT", at *p, followed by separator.
bool parse_counted_text(const char** p, const char* end, char (&text)[kJournalPathSize], char separator) {
  char head[96];
  take_head(*p, end, head);
  unsigned long long length = 0;
  int used = 0;
  if (std::sscanf(head, "%llu%n", &length, &used) != 1 || head[used] != ' ' || length >= kJournalPathSize ||
      static_cast<std::size_t>(end - *p) < used + 2 + length || (*p)[used + 1 + length] != separator) {
    return false;
  }
  std::memcpy(text, *p + used + 1, length);
  text[length] = '\0';
  *p += used + 2 + length;
  return true;
}

bool parse_file(const char** p, const char* end, AppendedFile* file) {
  char head[96];
  take_head(*p, end, head);
  int used = 0;
  if (std::sscanf(head, "%" SCNd64 " %" SCNu64 "%n", &file->length, &file->tail, &used) != 2 ||
      head[used] != ' ' || file->length < 0) {
    return false;
  }
  const char* at = *p + used + 1;
  if (!parse_counted_text(&at, end, file->path, ' ') || !parse_counted_text(&at, end, file->real, '\n')) {
    return false;
  }
  *p = at;
  return true;
}

// count decimal numbers separated by blanks and ended by a line feed.
bool parse_numbers(const char** p, const char* end, int count, std::int64_t* values) {
  char head[96];
  take_head(*p, end, head);
  const char* at = head;
  for (int i = 0; i < count; ++i) {
    int used = 0;
    if ((i > 0 && *at++ != ' ') || std::sscanf(at, "%" SCNd64 "%n", &values[i], &used) != 1 || used == 0 ||
        *at == ' ') {
      return false;
    }
    at += used;
  }
  if (*at != '\n') return false;
  *p += at - head + 1;
  return true;
}

bool parse_end(const char** p, const char* end, Journal* journal) {
  char head[96];
  take_head(*p, end, head);
  int index = 0, used = 0;
  std::int64_t length = 0;
  if (std::sscanf(head, "%d %" SCNd64 "%n", &index, &length, &used) != 2 || head[used] != '\n' || index < 0 ||
      index >= journal->count || length < 0) {
    return false;
  }
  journal->files[index].has_end = true;
  journal->files[index].end = length;
  *p += used + 1;
  return true;
}

bool parse_wrote(const char** p, const char* end, Journal* journal) {
  char head[96];
  take_head(*p, end, head);
  int index = 0, count = 0, used = 0;
  if (std::sscanf(head, "%d %d%n", &index, &count, &used) != 2 || head[used] != ' ' || index < 0 ||
      index >= journal->count || count <= 0 || count > kFirstBytes) {
    return false;
  }
  AppendedFile& file = journal->files[index];
  const char* at = *p + used + 1;
  if (!take_counted(&at, end, static_cast<std::size_t>(count), file.first)) return false;
  file.first_count = count;
  *p = at;
  return true;
}

// The lines after "rewriting 2\n". Each is written whole and flushed
// before the run goes on, so a line that cannot be read is the last one,
// cut short by a crash: the run did nothing after it, and what was read
// before it is the journal.
void parse_lines(const char* p, const char* end, Journal* journal) {
  while (p < end) {
    const char* at = p;
    bool ok = false;
    if (std::strncmp(p, "copy ", 5) == 0 && !journal->has_backup) {
      at += 5;
      ok = journal->has_backup = parse_copy(&at, end, &journal->backup);
    } else if (std::strncmp(p, "file ", 5) == 0 && journal->count < kMaxAppendedFiles) {
      at += 5;
      ok = parse_file(&at, end, &journal->files[journal->count]);
      if (ok) ++journal->count;
    } else if (std::strncmp(p, "wrote ", 6) == 0) {
      at += 6;
      ok = parse_wrote(&at, end, journal);
    } else if (std::strncmp(p, "end ", 4) == 0) {
      at += 4;
      ok = parse_end(&at, end, journal);
    } else if (std::strncmp(p, "keep ", 5) == 0) {
      at += 5;
      std::int64_t keep = -1;
      ok = parse_numbers(&at, end, 1, &keep) && keep >= 0 && keep <= 9;
      if (ok) journal->keep = static_cast<int>(keep);
    } else if (std::strncmp(p, "appended ", 9) == 0) {
      at += 9;
      std::int64_t range[2];
      ok = parse_numbers(&at, end, 2, range) && range[0] >= 0 && range[1] >= range[0];
      if (ok) {
        journal->has_appended = true;
        journal->appended_from = range[0];
        journal->appended_to = range[1];
      }
    } else if (std::strncmp(p, "restore\n", 8) == 0) {
      at += 8;
      ok = journal->restoring = true;
    } else if (std::strncmp(p, "committed\n", 10) == 0) {
      at += 10;
      ok = journal->committed = true;
    }
    if (!ok) return;
    p = at;
  }
}

// An older run's "\nbackup DEV INO LENGTH" at *p; false when there is none.
bool parse_legacy_backup(const char** p, const char* end, Journal* journal) {
  char head[96];
  take_head(*p, end, head);
  int used = 0;
  if (std::sscanf(head, "\nbackup %" SCNu64 " %" SCNu64 " %" SCNd64 "%n", &journal->backup_device,
                  &journal->backup_inode, &journal->backup.length, &used) != 3 ||
      used == 0) {
    return false;
  }
  *p += used;
  return true;
}

// An older run's "\nappend DEV INO LENGTH PATHLENGTH PATH" at *p.
bool parse_legacy_entry(const char** p, const char* end, AppendedFile* file) {
  char head[96];
  take_head(*p, end, head);
  unsigned long long path_length = 0;
  int used = 0;
  if (std::sscanf(head, "\nappend %" SCNu64 " %" SCNu64 " %" SCNd64 " %llu%n", &file->device, &file->inode,
                  &file->length, &path_length, &used) != 4 ||
      used == 0 || head[used] != ' ' || path_length >= kJournalPathSize || file->length < 0 ||
      static_cast<std::size_t>(end - *p) < used + 1 + path_length) {
    return false;
  }
  std::memcpy(file->path, *p + used + 1, path_length);
  file->path[path_length] = '\0';
  file->legacy = true;
  *p += used + 1 + path_length;
  return true;
}

}  // namespace

std::uint64_t hash_bytes(const void* bytes, std::size_t size, std::uint64_t hash) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ p[i]) * 0x100000001b3ULL;
  return hash;
}

bool hash_tail(int fd, std::int64_t length, std::uint64_t* hash) {
  *hash = hash_bytes(nullptr, 0);
  return hash_range(fd, length > kTailSize ? length - kTailSize : 0, length, hash);
}

bool identify_copy(int fd, CopyIdentity* identity) {
  struct stat st;
  if (sys().fstat(fd, &st) != 0) return false;
  std::int64_t length = st.st_size;
  std::uint64_t sample = hash_bytes(nullptr, 0);
  bool read = length <= 2 * kSampleSize ? hash_range(fd, 0, length, &sample)
                                        : hash_range(fd, 0, kSampleSize, &sample) &&
                                              hash_range(fd, length - kSampleSize, length, &sample);
  *identity = {length, static_cast<std::int64_t>(st.st_mtime), sample};
  return read;
}

bool journal_appended_file(Journal* journal, const char* path, const char* real, int fd) {
  if (journal->count >= kMaxAppendedFiles || std::strlen(path) >= kJournalPathSize ||
      std::strlen(real) >= kJournalPathSize) {
    return false;
  }
  AppendedFile& file = journal->files[journal->count];
  file = AppendedFile{};
  struct stat st;
  if (sys().fstat(fd, &st) != 0) return false;
  file.length = st.st_size;
  if (!hash_tail(fd, file.length, &file.tail)) return false;
  std::strcpy(file.path, path);
  std::strcpy(file.real, real);
  ++journal->count;
  return true;
}

bool mark_rewriting(int lock_fd, Journal* journal) {
  char text[kJournalSize];
  std::size_t size = sizeof kVersionLine - 1;
  std::memcpy(text, kVersionLine, size);
  if (journal->has_backup) {
    const CopyIdentity& b = journal->backup;
    size += static_cast<std::size_t>(std::snprintf(text + size, sizeof text - size,
                                                   "copy %" PRId64 " %" PRId64 " %" PRIu64 "\n", b.length,
                                                   b.mtime, b.sample));
  }
  for (int i = 0; i < journal->count; ++i) {
    const AppendedFile& file = journal->files[i];
    size += static_cast<std::size_t>(
        std::snprintf(text + size, sizeof text - size, "file %" PRId64 " %" PRIu64, file.length, file.tail));
    for (const char* path : {static_cast<const char*>(file.path), static_cast<const char*>(file.real)}) {
      std::size_t path_length = std::strlen(path);
      size += static_cast<std::size_t>(std::snprintf(text + size, sizeof text - size, " %zu ", path_length));
      std::memcpy(text + size, path, path_length);
      size += path_length;
    }
    text[size++] = '\n';
  }
  if (journal->restoring) {
    std::memcpy(text + size, "restore\n", 8);
    size += 8;
  }
  if (journal->keep >= 0) {
    size +=
        static_cast<std::size_t>(std::snprintf(text + size, sizeof text - size, "keep %d\n", journal->keep));
  }
  journal->size = static_cast<std::int64_t>(size);
  return sys().ftruncate(lock_fd, 0) == 0 && pwrite_all(lock_fd, text, size, 0) && sync_fd(lock_fd);
}

namespace {

bool add_line(int lock_fd, Journal* journal, const char* line, std::size_t length) {
  bool ok = pwrite_all(lock_fd, line, length, static_cast<off_t>(journal->size)) && sync_fd(lock_fd);
  journal->size += static_cast<std::int64_t>(length);
  return ok;
}

}  // namespace

bool note_appended(int lock_fd, Journal* journal, std::int64_t from, std::int64_t to) {
  char line[64];
  int length = std::snprintf(line, sizeof line, "appended %" PRId64 " %" PRId64 "\n", from, to);
  journal->has_appended = true;
  journal->appended_from = from;
  journal->appended_to = to;
  return add_line(lock_fd, journal, line, static_cast<std::size_t>(length));
}

bool note_committed(int lock_fd, Journal* journal) {
  journal->committed = true;
  return add_line(lock_fd, journal, "committed\n", 10);
}

bool note_first_write(int lock_fd, Journal* journal, int index, const void* bytes, std::size_t size) {
  AppendedFile& file = journal->files[index];
  file.first_count = static_cast<int>(size < kFirstBytes ? size : kFirstBytes);
  std::memcpy(file.first, bytes, static_cast<std::size_t>(file.first_count));
  char line[32 + kFirstBytes];
  int head = std::snprintf(line, sizeof line, "wrote %d %d ", index, file.first_count);
  std::memcpy(line + head, file.first, static_cast<std::size_t>(file.first_count));
  std::size_t length = static_cast<std::size_t>(head + file.first_count);
  line[length++] = '\n';
  bool ok = pwrite_all(lock_fd, line, length, static_cast<off_t>(journal->size)) && sync_fd(lock_fd);
  journal->size += static_cast<std::int64_t>(length);
  return ok;
}

bool note_ends(int lock_fd, Journal* journal, const std::int64_t* lengths) {
  char lines[kMaxAppendedFiles * 40];
  std::size_t size = 0;
  for (int i = 0; i < journal->count; ++i) {
    journal->files[i].has_end = true;
    journal->files[i].end = lengths[i];
    size += static_cast<std::size_t>(
        std::snprintf(lines + size, sizeof lines - size, "end %d %" PRId64 "\n", i, lengths[i]));
  }
  bool ok = pwrite_all(lock_fd, lines, size, static_cast<off_t>(journal->size)) && sync_fd(lock_fd);
  journal->size += static_cast<std::int64_t>(size);
  return ok;
}

MarkState read_mark(int lock_fd, Journal* journal) {
  char text[kJournalSize + 1];
  ssize_t n = pread_full(lock_fd, text, sizeof text, 0);
  *journal = Journal{};
  if (n < 0) return MarkState::unreadable;
  if (n < static_cast<ssize_t>(kMarkLength) || std::memcmp(text, kMark, kMarkLength) != 0) {
    return MarkState::clear;
  }
  const char* end = text + n;
  journal->size = n;
  if (static_cast<std::size_t>(n) > kJournalSize) return MarkState::unreadable;
  if (n > static_cast<ssize_t>(kMarkLength) && text[kMarkLength] == ' ') {
    if (static_cast<std::size_t>(n) < sizeof kVersionLine - 1 ||
        std::memcmp(text, kVersionLine, sizeof kVersionLine - 1) != 0) {
      return MarkState::unreadable;  // a format this run does not know
    }
    parse_lines(text + sizeof kVersionLine - 1, end, journal);
    return MarkState::marked;
  }
  const char* p = text + kMarkLength;
  journal->legacy_backup = parse_legacy_backup(&p, end, journal);
  journal->has_backup = journal->legacy_backup;
  // Entries that cannot be read are passed over: the database is still
  // restored, which is what the plain mark asks for.
  while (p < end && journal->count < kMaxAppendedFiles &&
         parse_legacy_entry(&p, end, &journal->files[journal->count])) {
    ++journal->count;
  }
  return MarkState::marked;
}

bool clear_rewriting(int lock_fd) { return sys().ftruncate(lock_fd, 0) == 0 && sync_fd(lock_fd); }
