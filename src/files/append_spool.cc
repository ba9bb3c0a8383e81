// Appending a spool exactly once.
#include "files/append_spool.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "records/wp_record.h"
#include "util/checksum.h"
#include "util/fd_io.h"
#include "util/system_calls.h"

namespace {

constexpr std::size_t kBlock = 4096;
constexpr std::int64_t kChunk = std::int64_t{8} << 20;

// How many of the spool's bytes from `from` on stand at `at` in a file of
// size bytes: equal bytes, or zeros where a crash lost them; and the end of
// the last whole line among them, in *line_end. -1 when a read fails.
std::int64_t landed(int file, int spool, std::int64_t at, std::int64_t from, std::int64_t size,
                    std::int64_t spool_length, std::int64_t* line_end) {
  std::int64_t compared = size - at < spool_length - from ? size - at : spool_length - from;
  *line_end = 0;
  char in_file[kBlock], in_spool[kBlock];
  for (std::int64_t done = 0; done < compared; done += static_cast<std::int64_t>(kBlock)) {
    std::size_t n = compared - done < static_cast<std::int64_t>(kBlock)
                        ? static_cast<std::size_t>(compared - done)
                        : kBlock;
    if (pread_full(file, in_file, n, static_cast<off_t>(at + done)) != static_cast<ssize_t>(n) ||
        pread_full(spool, in_spool, n, static_cast<off_t>(from + done)) != static_cast<ssize_t>(n)) {
      return -1;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (in_file[i] != in_spool[i] && in_file[i] != '\0') return done + static_cast<std::int64_t>(i);
      if (in_spool[i] == '\n') *line_end = done + static_cast<std::int64_t>(i) + 1;
    }
  }
  return compared < 0 ? 0 : compared;
}

// Where the chunk of the spool from `from` ends: at most kChunk bytes on,
// at the end of the last unit that fits (or of the spool).
std::int64_t unit_end(int spool, std::int64_t from, std::int64_t length, SpoolUnit unit) {
  std::int64_t end = length - from <= kChunk ? length : from + kChunk;
  if (end == length) return end;
  if (unit == SpoolUnit::record) return end - (end - from) % static_cast<std::int64_t>(kRecordSize);
  char tail[kBlock];
  const std::int64_t start = end - static_cast<std::int64_t>(kBlock);
  if (pread_full(spool, tail, kBlock, static_cast<off_t>(start)) == static_cast<ssize_t>(kBlock)) {
    for (std::size_t i = kBlock; i > 0; --i) {
      if (tail[i - 1] == '\n') return start + static_cast<std::int64_t>(i);
    }
  }
  return end;  // no line end there: a line longer than any the run writes
}

}  // namespace

bool append_spool(int file, int spool, int lock_fd, Journal* journal, int index, SpoolUnit unit,
                  bool* spool_failed) {
  JournaledFile& f = journal->files[index];
  struct stat st;
  Checksum found;
  *spool_failed = sys().fstat(spool, &st) != 0 || st.st_size != f.spool_length ||
                  !checksum_range(spool, 0, f.spool_length, &found);
  if (!*spool_failed && checksum_value(found) != f.spool_sum) {
    *spool_failed = true;
    errno = 0;  // not the spool journaled: no system error
  }
  if (*spool_failed || sys().fstat(file, &st) != 0) return false;
  const std::int64_t size = st.st_size;
  const std::int64_t from = f.moved_from;
  const std::int64_t at = f.moved_at;
  std::int64_t line_end = 0;
  std::int64_t kept = landed(file, spool, at, from, size, f.spool_length, &line_end);
  if (kept < 0) return false;
  if (from + kept < f.spool_length && at + kept < size) {
    // Others appended after what landed: their bytes start a unit, and
    // only whole units of the spool are taken to have landed before them.
    kept = unit == SpoolUnit::line ? line_end : kept - (from + kept) % static_cast<std::int64_t>(kRecordSize);
    if (kept < 0) kept = 0;
  }
  bool in_failed = false;
  // What landed, again over any zeros, made durable before anything
  // depends on it.
  if (kept > 0 &&
      (!copy_bytes(spool, static_cast<off_t>(from), file, static_cast<off_t>(at), kept, false, &in_failed) ||
       !sync_fd(file))) {
    *spool_failed = in_failed;
    return false;
  }
  if (from + kept == f.spool_length) return true;
  if (size != at + kept) {
    f.moved_from = from + kept;
    f.moved_at = size;
    journal->moving = index;
    if (!write_journal(lock_fd, journal, JournalEntry::moved)) return false;
  }
  // The rest in chunks that end on a unit, so that a kill between two
  // leaves whole ones.
  std::int64_t to = size;
  bool ok = true;
  for (std::int64_t next = from + kept; ok && next < f.spool_length;) {
    std::int64_t end = unit_end(spool, next, f.spool_length, unit);
    ok = copy_bytes(spool, static_cast<off_t>(next), file, static_cast<off_t>(to), end - next, false,
                    &in_failed);
    to += end - next;
    next = end;
  }
  ok = ok && sync_fd(file);
  *spool_failed = in_failed;
  return ok;
}
