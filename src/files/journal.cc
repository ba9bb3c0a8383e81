// Writing the journal's entries, and reading them back, through one table
// of entry kinds: each kind lists its fields once, for both.
#include "files/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "files/file_names.h"
#include "util/checksum.h"
#include "util/fd_io.h"
#include "util/system_calls.h"

namespace {

constexpr std::int64_t kFormat = 3;
constexpr std::size_t kJournalSize = 20480;
static_assert(kJournalSize >= 100 + kMaxAppendedFiles * (20 + 2 * (8 + kJournalPathSize)) + 8 * 60 + 100);
constexpr std::int64_t kSampleSize = 65536;  // from each end of the backup
constexpr int kSumDigits = 16;

// The fields of an entry, written into text or read from it. Reading notes
// when the bytes ran out (short): that tells an entry cut short by a crash
// from one that was changed.
struct Fields {
  bool reading;
  char* text;
  std::size_t at;
  std::size_t end;
  bool ok = true;
  bool short_input = false;

  void put(const char* bytes, std::size_t length) {
    std::memcpy(text + at, bytes, length);
    at += length;
  }
  // The next byte, which must be expected.
  void take(char expected) {
    if (!ok || !reading) {
      if (ok) put(&expected, 1);
      return;
    }
    short_input = at == end;
    ok = !short_input && text[at] == expected;
    at += ok ? 1 : 0;
  }
  // " " and a decimal number from least to most.
  void number(std::int64_t* value, std::int64_t least, std::int64_t most) {
    take(' ');
    if (!ok) return;
    if (!reading) {
      char digits[24];
      put(digits, static_cast<std::size_t>(std::snprintf(digits, sizeof digits, "%" PRId64, *value)));
      return;
    }
    bool negative = at < end && text[at] == '-';
    std::size_t first = at + (negative ? 1 : 0);
    std::int64_t v = 0;
    for (at = first; at < end && at - first < 19 && text[at] >= '0' && text[at] <= '9'; ++at) {
      v = v * 10 + (text[at] - '0');
    }
    short_input = at == end;
    ok = !short_input && at > first && (text[at] < '0' || text[at] > '9') && v >= least && v <= most;
    if (ok) *value = negative ? -v : v;
  }
  template <typename T>
  void number(T* value, std::int64_t least, std::int64_t most) {
    std::int64_t v = static_cast<std::int64_t>(*value);
    number(&v, least, most);
    if (ok) *value = static_cast<T>(v);
  }
  // 16 lower-case hex digits, after a blank when spaced.
  void sum(std::uint64_t* value, bool spaced = true) {
    if (spaced) take(' ');
    if (!ok) return;
    if (!reading) {
      char digits[24];
      put(digits, static_cast<std::size_t>(std::snprintf(digits, sizeof digits, "%016" PRIx64, *value)));
      return;
    }
    std::uint64_t v = 0;
    for (int i = 0; ok && i < kSumDigits; ++i, ++at) {
      short_input = at == end;
      char d = short_input ? '\0' : text[at];
      int digit = d >= '0' && d <= '9' ? d - '0' : d >= 'a' && d <= 'f' ? d - 'a' + 10 : -1;
      ok = digit >= 0;
      v = v << 4 | static_cast<std::uint64_t>(digit);
    }
    if (ok) *value = v;
  }
  // " N:" and N bytes of any kind.
  void counted(char (&value)[kJournalPathSize]) {
    std::int64_t length = static_cast<std::int64_t>(std::strlen(value));
    number(&length, 0, kJournalPathSize - 1);
    take(':');
    if (!ok) return;
    if (!reading) {
      put(value, static_cast<std::size_t>(length));
      return;
    }
    short_input = end - at < static_cast<std::size_t>(length);
    ok = !short_input;
    if (!ok) return;
    std::memcpy(value, text + at, static_cast<std::size_t>(length));
    value[length] = '\0';
    at += static_cast<std::size_t>(length);
  }
};

void begin_fields(Fields& f, Journal& j) {
  std::int64_t format = kFormat;
  f.number(&format, kFormat, kFormat);
  f.number(&j.keep, 0, kMostGenerations);
  f.number(&j.restoring, 0, 1);
  f.number(&j.backup.length, 0, INT64_MAX);
  f.number(&j.backup.mtime, INT64_MIN + 1, INT64_MAX);
  f.sum(&j.backup.sample);
  f.number(&j.count, 0, kMaxAppendedFiles);
  for (int i = 0; f.ok && i < j.count; ++i) {
    f.number(&j.files[i].created, 0, 1);
    f.counted(j.files[i].path);
    f.counted(j.files[i].real);
  }
}

void appended_fields(Fields& f, Journal& j) {
  f.number(&j.appended_from, 0, INT64_MAX);
  f.number(&j.appended_to, j.appended_from, INT64_MAX);
  j.has_appended = true;
}

void committed_fields(Fields& f, Journal& j) {
  f.number(&j.generations, 0, (1 << (kMostGenerations + 1)) - 1);
  for (int i = 0; f.ok && i < j.count; ++i) {
    JournaledFile& file = j.files[i];
    f.number(&file.length, 0, INT64_MAX);
    f.number(&file.spool_length, 0, INT64_MAX);
    f.sum(&file.spool_sum);
    if (f.reading) file.moved_at = file.length;
  }
  j.committed = true;
}

void moved_fields(Fields& f, Journal& j) {
  f.number(&j.moving, 0, j.count - 1);
  if (!f.ok) return;
  JournaledFile& file = j.files[j.moving];
  f.number(&file.moved_from, 0, file.spool_length);
  f.number(&file.moved_at, 0, INT64_MAX);
}

// The kinds of entry: begin comes first and once; appended may follow it
// any number of times, then committed once, then moved any number of
// times.
struct Kind {
  const char* name;
  void (*fields)(Fields& f, Journal& j);
};

constexpr Kind kKinds[] = {
    {"begin", begin_fields},
    {"appended", appended_fields},
    {"committed", committed_fields},
    {"moved", moved_fields},
};

bool allowed(JournalEntry entry, int entries, const Journal& j) {
  if (entries == 0) return entry == JournalEntry::begin;
  if (entry == JournalEntry::moved) return j.committed;
  return entry != JournalEntry::begin && !j.committed;
}

// The kind whose name starts the entry at f.at (its name and a blank);
// nullptr, with f.short_input when the bytes end within a kind's name.
const Kind* entry_kind(Fields& f) {
  for (const Kind& kind : kKinds) {
    std::size_t length = std::strlen(kind.name);
    std::size_t left = f.end - f.at;
    if (left <= length) {
      f.short_input = f.short_input || std::memcmp(f.text + f.at, kind.name, left) == 0;
      continue;
    }
    if (std::memcmp(f.text + f.at, kind.name, length) == 0 && f.text[f.at + length] == ' ') {
      f.at += length;
      return &kind;
    }
  }
  return nullptr;
}

}  // namespace

bool write_journal(int lock_fd, Journal* journal, JournalEntry entry) {
  if (entry == JournalEntry::begin) {
    journal->size = 0;
    journal->sum = Checksum{};
    if (sys().ftruncate(lock_fd, 0) != 0) return false;
  }
  static char text[kJournalSize];  // kept off the stack
  const Kind& kind = kKinds[static_cast<int>(entry)];
  Fields f{false, text, 0, sizeof text};
  f.put(kind.name, std::strlen(kind.name));
  kind.fields(f, *journal);
  f.take(' ');
  Checksum sum = journal->sum;
  checksum_add(&sum, text, f.at);
  std::uint64_t covered = checksum_value(sum);
  std::size_t end = f.at;
  f.sum(&covered, false);
  f.take('\n');
  checksum_add(&sum, text + end, f.at - end);
  if (!pwrite_all(lock_fd, text, f.at, static_cast<off_t>(journal->size)) || !sync_fd(lock_fd)) return false;
  journal->sum = sum;
  journal->size += static_cast<std::int64_t>(f.at);
  return true;
}

JournalState read_journal(int lock_fd, Journal* journal, bool checked) {
  static char text[kJournalSize + 1];
  ssize_t n = pread_full(lock_fd, text, sizeof text, 0);
  *journal = Journal{};
  if (n < 0) return JournalState::unreadable;
  errno = 0;  // what follows are no system errors
  if (static_cast<std::size_t>(n) > kJournalSize) return JournalState::unreadable;
  const ssize_t text_length = n;
  // A tail that never reached the disk may read back as zeros; no entry
  // holds a NUL byte.
  while (n > 0 && text[n - 1] == '\0') --n;
  Fields f{true, text, 0, static_cast<std::size_t>(n)};
  int entries = 0;
  static Journal entry;  // an entry is taken only once it has been read whole
  while (f.at < f.end) {
    entry = *journal;
    f.short_input = false;
    const Kind* kind = entry_kind(f);
    f.ok = kind != nullptr && allowed(static_cast<JournalEntry>(kind - kKinds), entries, entry);
    if (f.ok) kind->fields(f, entry);
    f.take(' ');
    std::uint64_t covered = f.ok ? checksum_of(text, f.at) : 0;
    std::uint64_t written = 0;
    f.sum(&written, false);
    f.take('\n');
    if (!f.ok) {
      // Only the last entry can be cut short, and the step it covers never
      // began. An entry is written whole in one write, so one whose line
      // feed reached the disk reached it whole: a journal that ends with a
      // line feed and still runs short was changed, as was one with any
      // other fault, and cannot be trusted.
      if (f.short_input && text[n - 1] != '\n') break;
      return JournalState::unreadable;
    }
    if (checked && written != covered) return JournalState::unreadable;
    ++entries;
    *journal = entry;
    journal->size = static_cast<std::int64_t>(f.at);
  }
  checksum_add(&journal->sum, text, static_cast<std::size_t>(journal->size));
  if (entries > 0) return JournalState::set;
  return text_length == 0 ? JournalState::none : JournalState::unfinished;
}

bool clear_journal(int lock_fd) { return sys().ftruncate(lock_fd, 0) == 0 && sync_fd(lock_fd); }

bool identify_copy(int fd, CopyIdentity* identity) {
  struct stat st;
  if (sys().fstat(fd, &st) != 0) return false;
  std::int64_t length = st.st_size;
  Checksum sample;
  bool read = length <= 2 * kSampleSize ? checksum_range(fd, 0, length, &sample)
                                        : checksum_range(fd, 0, kSampleSize, &sample) &&
                                              checksum_range(fd, length - kSampleSize, length, &sample);
  *identity = {length, static_cast<std::int64_t>(st.st_mtime), checksum_value(sample)};
  return read;
}
