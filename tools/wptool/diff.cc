// Matching two white pages files. A run keeps records in their order and
// never changes their last_update, last_seen and name, and changes the
// callsign only by normalising it; records agreeing in those are the same
// station. Among such records, one whose main and temporary parts could
// have become the new record in a run is preferred, so that a dropped
// record is not taken for the kept one that follows it.
#include "tools/wptool/diff.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "records/record_rules.h"
#include "records/wp_record.h"
#include "tools/wptool/dump.h"

namespace {

// A file's whole records, mapped read-only.
struct RecordFile {
  const WpRecord* records = nullptr;
  std::int64_t count = 0;
  void* base = nullptr;
  std::size_t size = 0;
};

bool map_records(const char* path, RecordFile* file) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    if (fd >= 0) ::close(fd);
    std::fprintf(stderr, "wptool: cannot open '%s'\n", path);
    return false;
  }
  file->size = static_cast<std::size_t>(st.st_size);
  if (file->size > 0) {
    file->base = ::mmap(nullptr, file->size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (file->base == MAP_FAILED) {
      file->base = nullptr;
      ::close(fd);
      std::fprintf(stderr, "wptool: cannot read '%s'\n", path);
      return false;
    }
  }
  ::close(fd);
  file->records = static_cast<const WpRecord*>(file->base);
  file->count = static_cast<std::int64_t>(file->size / kRecordSize);  // a part record at the end is left out
  return true;
}

void unmap_records(RecordFile* file) {
  if (file->base != nullptr) ::munmap(file->base, file->size);
}

// The fields a run never changes, the callsign normalised as the review
// does, every byte after a text's end zeroed.
struct MatchKey {
  char callsign[7];
  char name[13];
  unsigned char times[8];
};

MatchKey match_key(const WpRecord& r) {
  MatchKey key;
  std::memset(&key, 0, sizeof key);
  copy_bounded(key.callsign, r.callsign, sizeof key.callsign - 1);
  is_valid_callsign(key.callsign);
  std::size_t length = std::strlen(key.callsign);
  std::memset(key.callsign + length, 0, sizeof key.callsign - length);
  copy_bounded(key.name, r.name, sizeof key.name - 1);
  std::memcpy(key.times, r.last_update, 4);
  std::memcpy(key.times + 4, r.last_seen, 4);
  return key;
}

std::uint64_t hash_key(const MatchKey& key) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
  const auto* bytes = reinterpret_cast<const unsigned char*>(&key);
  for (std::size_t i = 0; i < sizeof key; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ULL;
  return hash;
}

bool same_key(const MatchKey& a, const MatchKey& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Texts as the review compares them: within width - 1.
template <std::size_t N>
bool same_text(const char (&a)[N], const char (&b)[N]) {
  return std::strncmp(a, b, N - 1) == 0;
}

// True when a run could have made now from was: the temporary parts are
// the same, and the main parts are either as they were or all promoted.
bool could_become(const WpRecord& was, const WpRecord& now) {
  if (!same_text(was.temp_home_bbs, now.temp_home_bbs) || !same_text(was.temp_zip, now.temp_zip) ||
      !same_text(was.temp_location, now.temp_location)) {
    return false;
  }
  bool kept = same_text(was.home_bbs, now.home_bbs) && same_text(was.zip, now.zip) &&
              same_text(was.location, now.location);
  bool promoted = same_text(was.temp_home_bbs, now.home_bbs) && same_text(was.temp_zip, now.zip) &&
                  same_text(was.temp_location, now.location);
  return kept || promoted;
}

// Candidates of one key looked at for a record that could become the new
// one, before the first of them is taken anyway.
constexpr int kCandidatesLooked = 64;

struct TextField {
  const char* name;
  std::size_t offset;
  std::size_t width;
};

constexpr TextField kTextFields[] = {
    {"callsign", offsetof(WpRecord, callsign), sizeof WpRecord::callsign},
    {"name", offsetof(WpRecord, name), sizeof WpRecord::name},
    {"home_bbs", offsetof(WpRecord, home_bbs), sizeof WpRecord::home_bbs},
    {"zip", offsetof(WpRecord, zip), sizeof WpRecord::zip},
    {"location", offsetof(WpRecord, location), sizeof WpRecord::location},
    {"temp_home_bbs", offsetof(WpRecord, temp_home_bbs), sizeof WpRecord::temp_home_bbs},
    {"temp_zip", offsetof(WpRecord, temp_zip), sizeof WpRecord::temp_zip},
    {"temp_location", offsetof(WpRecord, temp_location), sizeof WpRecord::temp_location},
};

void put_line_head(const char* kind, std::int64_t index, const WpRecord& r, std::FILE* out) {
  std::fprintf(out, "%s\t%lld\t", kind, static_cast<long long>(index));
  put_text(r.callsign, out);
}

// Writes a "changed" line for each field that differs, the texts taken up
// to their NUL within their whole width; answers whether any did.
bool put_changes(std::int64_t index, const WpRecord& was, const WpRecord& now, std::FILE* out) {
  bool changed = false;
  const char* a = reinterpret_cast<const char*>(&was);
  const char* b = reinterpret_cast<const char*>(&now);
  for (const TextField& f : kTextFields) {
    std::size_t la = strnlen(a + f.offset, f.width);
    std::size_t lb = strnlen(b + f.offset, f.width);
    if (la == lb && std::memcmp(a + f.offset, b + f.offset, la) == 0) continue;
    put_line_head("changed", index, was, out);
    std::fprintf(out, "\t%s\t", f.name);
    put_text(a + f.offset, f.width, out);
    std::fputc('\t', out);
    put_text(b + f.offset, f.width, out);
    std::fputc('\n', out);
    changed = true;
  }
  if (was.update_kind != now.update_kind) {
    put_line_head("changed", index, was, out);
    std::fputs("\tupdate_kind\t", out);
    put_update_kind(was.update_kind, out);
    std::fputc('\t', out);
    put_update_kind(now.update_kind, out);
    std::fputc('\n', out);
    changed = true;
  }
  return changed;
}

struct Counts {
  long long kept = 0;
  long long dropped = 0;
  long long changed = 0;
  long long added = 0;
};

void compare(const RecordFile& old_file, const RecordFile& new_file, std::FILE* out) {
  // Every old record by the hash of its key, in file order within a hash.
  std::vector<std::pair<std::uint64_t, std::int64_t>> index;
  index.reserve(static_cast<std::size_t>(old_file.count));
  for (std::int64_t i = 0; i < old_file.count; ++i)
    index.emplace_back(hash_key(match_key(old_file.records[i])), i);
  std::sort(index.begin(), index.end());

  Counts counts;
  std::int64_t next_old = 0;  // old records before it are matched or dropped
  for (std::int64_t j = 0; j < new_file.count; ++j) {
    const WpRecord& now = new_file.records[j];
    MatchKey key = match_key(now);
    std::uint64_t hash = hash_key(key);
    std::int64_t first = -1;
    std::int64_t chosen = -1;
    int looked = 0;
    for (auto it = std::lower_bound(index.begin(), index.end(), std::make_pair(hash, next_old));
         it != index.end() && it->first == hash && looked < kCandidatesLooked; ++it) {
      const WpRecord& was = old_file.records[it->second];
      if (!same_key(match_key(was), key)) continue;
      ++looked;
      if (first < 0) first = it->second;
      if (could_become(was, now)) {
        chosen = it->second;
        break;
      }
    }
    if (chosen < 0) chosen = first;
    if (chosen < 0) {
      put_line_head("added", j, now, out);
      std::fputc('\n', out);
      ++counts.added;
      continue;
    }
    for (; next_old < chosen; ++next_old, ++counts.dropped) {
      put_line_head("dropped", next_old, old_file.records[next_old], out);
      std::fputc('\n', out);
    }
    ++next_old;
    ++counts.kept;
    if (put_changes(chosen, old_file.records[chosen], now, out)) ++counts.changed;
  }
  for (; next_old < old_file.count; ++next_old, ++counts.dropped) {
    put_line_head("dropped", next_old, old_file.records[next_old], out);
    std::fputc('\n', out);
  }
  std::fprintf(out, "records\t%lld\tkept\t%lld\tdropped\t%lld\tchanged\t%lld",
               static_cast<long long>(old_file.count), counts.kept, counts.dropped, counts.changed);
  if (counts.added > 0) std::fprintf(out, "\tadded\t%lld", counts.added);
  std::fputc('\n', out);
}

}  // namespace

bool diff_files(const char* old_path, const char* new_path, std::FILE* out) {
  RecordFile old_file;
  RecordFile new_file;
  if (!map_records(old_path, &old_file)) return false;
  if (!map_records(new_path, &new_file)) {
    unmap_records(&old_file);
    return false;
  }
  compare(old_file, new_file, out);
  unmap_records(&old_file);
  unmap_records(&new_file);
  return std::fflush(out) == 0;
}
