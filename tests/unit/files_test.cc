// Backup copy, restore, the journal, the spool's append, the rotation of
// generations, the run lock, and descriptor I/O under signals.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files/append_spool.h"
#include "files/copy_file.h"
#include "files/generations.h"
#include "files/journal.h"
#include "files/path_walk.h"
#include "files/run_lock.h"
#include "util/checksum.h"
#include "util/fd_io.h"

namespace fs = std::filesystem;

namespace {

// A folder of its own, held open as a run holds the database's.
struct TempDir {
  std::string path;
  int fd;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kestol-unit-XXXXXX").string();
    path = mkdtemp(pattern.data());
    fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
  }
  ~TempDir() {
    close(fd);
    fs::remove_all(path);
  }
  std::string at(const char* name) const { return path + "/" + name; }
  OpenFolder folder() const {
    OpenFolder f;
    f.fd = fd;
    std::snprintf(f.real, sizeof f.real, "%s", fs::canonical(path).c_str());
    return f;
  }
};

void put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string pattern_bytes(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 131) ^ (i >> 9));
  return bytes;
}

}  // namespace

TEST(CopyFile, CopiesEveryByteAndCreatesTheBackupPrivate) {
  for (std::size_t size :
       {std::size_t{0}, std::size_t{1}, std::size_t{16384}, std::size_t{16385}, std::size_t{100000}}) {
    TempDir dir;
    std::string data = pattern_bytes(size);
    put(dir.at("wp.sys"), data);
    const char* failed = nullptr;
    mode_t old_mask = umask(022);
    EXPECT_EQ(CopyResult::copied, copy_file(dir.fd, "wp.sys", "wp.new", "wp.old", &failed)) << size;
    umask(old_mask);
    EXPECT_EQ(data, get(dir.at("wp.new"))) << size;
    struct stat st;
    ASSERT_EQ(0, stat(dir.at("wp.new").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777) << size;
  }
}

TEST(CopyFile, ANewBackupTakesTheModeOfTheOneItFollowsAndReplacesAStaleCopy) {
  // A stale copy of any length (a crash left it) is replaced, and the
  // backup it follows is left alone.
  for (std::size_t stale : {std::size_t{0}, std::size_t{3}, std::size_t{90000}}) {
    TempDir dir;
    std::string data = pattern_bytes(40000);
    put(dir.at("wp.sys"), data);
    put(dir.at("wp.old"), "yesterday");
    chmod(dir.at("wp.old").c_str(), 0640);
    put(dir.at("wp.new"), std::string(stale, 'o'));
    const char* failed = nullptr;
    EXPECT_EQ(CopyResult::copied, copy_file(dir.fd, "wp.sys", "wp.new", "wp.old", &failed)) << stale;
    EXPECT_TRUE(get(dir.at("wp.new")) == data) << stale;
    EXPECT_EQ("yesterday", get(dir.at("wp.old"))) << stale;
    struct stat st;
    ASSERT_EQ(0, stat(dir.at("wp.new").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777) << stale;
    // The restore over a database that was shorter or longer: cut to the
    // backup's length, or with what follows it kept.
    for (bool cut : {true, false}) {
      put(dir.at("wp.sys"), std::string(90000, 's'));
      int backup = open(dir.at("wp.new").c_str(), O_RDONLY);
      EXPECT_TRUE(restore_database(backup, dir.fd, "wp.sys", cut)) << stale;
      close(backup);
      EXPECT_TRUE(get(dir.at("wp.sys")) == (cut ? data : data + std::string(50000, 's'))) << stale << cut;
    }
  }
}

TEST(RunLock, ExclusiveOwnAndWritableByNobodyElse) {
  TempDir dir;
  int first = -1;
  ASSERT_EQ(LockResult::locked, take_run_lock(dir.fd, "kestol.lck", &first));
  struct stat st;
  ASSERT_EQ(0, stat(dir.at("kestol.lck").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  int second = -1;
  EXPECT_EQ(LockResult::in_use, take_run_lock(dir.fd, "kestol.lck", &second));
  EXPECT_EQ(LockResult::cannot_open, take_run_lock(dir.fd, "no/such/dir", &second));
  std::string path = dir.at("kestol.lck");
  int reader = open(path.c_str(), O_RDONLY);  // the run's record lock, seen without locking
  EXPECT_TRUE(run_lock_is_held(reader));
  close(first);
  EXPECT_FALSE(run_lock_is_held(reader));
  close(reader);
  struct flock record = {};
  record.l_type = F_WRLCK;
  int other = open(path.c_str(), O_RDWR);
  ASSERT_EQ(0, fcntl(other, F_OFD_SETLK, &record));
  EXPECT_EQ(LockResult::in_use,
            take_run_lock(dir.fd, "kestol.lck", &second));  // a record lock alone is a run
  close(other);
  // Somebody else could write the journal: no lock.
  chmod(path.c_str(), 0620);
  EXPECT_EQ(LockResult::cannot_open, take_run_lock(dir.fd, "kestol.lck", &second));
  chmod(path.c_str(), 0600);
  if (std::system(("setfacl -m u:65534:rw " + path + " 2>/dev/null").c_str()) == 0) {
    EXPECT_EQ(LockResult::cannot_open, take_run_lock(dir.fd, "kestol.lck", &second)) << "ACL";
    ASSERT_EQ(0, std::system(("setfacl -b " + path).c_str()));
  }
  if (geteuid() == 0) {
    ASSERT_EQ(0, chown(path.c_str(), 65534, 0));
    EXPECT_EQ(LockResult::cannot_open, take_run_lock(dir.fd, "kestol.lck", &second));
    ASSERT_EQ(0, chown(path.c_str(), 0, 0));
  }
  EXPECT_EQ(LockResult::locked, take_run_lock(dir.fd, "kestol.lck", &second));
  close(second);
}

namespace {

// A journal of every kind of entry, as a run writes it.
Journal full_journal(const char* second_path) {
  Journal j;
  j.keep = 9;
  j.backup = {194000, 1796731200, 0xfedcba9876543210ULL};
  j.count = 2;
  j.files[0] = {true, "mess.wp", "/srv/bbs/data/wp/mess.wp", 5000, 77, 0x0123456789abcdefULL, 0, 5000};
  std::snprintf(j.files[1].path, sizeof j.files[1].path, "%s", second_path);
  std::snprintf(j.files[1].real, sizeof j.files[1].real, "/a b/%s", second_path);
  return j;
}

void write_all_entries(int lock, Journal* j) {
  EXPECT_TRUE(write_journal(lock, j, JournalEntry::begin));
  j->appended_from = 970;
  j->appended_to = 1358;
  EXPECT_TRUE(write_journal(lock, j, JournalEntry::appended));
  j->generations = 0x203;
  j->files[1].length = 13;
  j->files[1].spool_length = 388;
  EXPECT_TRUE(write_journal(lock, j, JournalEntry::committed));
}

// How a lock file holding text reads: "none", "unreadable", or the
// entries read, as "begin", "begin+appended" or "begin+appended+committed".
std::string reading(int lock, const std::string& path, const std::string& text) {
  put(path, text);
  Journal j;
  switch (read_journal(lock, &j)) {
    case JournalState::none:
      return "none";
    case JournalState::unfinished:
      return "unfinished";
    case JournalState::unreadable:
      return "unreadable";
    case JournalState::set:
      break;
  }
  return std::string("begin") + (j.has_appended ? "+appended" : "") + (j.committed ? "+committed" : "");
}

}  // namespace

// The journal reads back what was written, paths of any bytes included.
// Cut anywhere, or with its end read back as zeros, it reads as the
// entries written whole before the cut (a first entry cut short is
// unfinished: the run tells by the database whether it began). Any single
// changed byte, and anything that is not such a journal, is a journal that
// cannot be read.
TEST(Journal, ReadsWhatWasWrittenAndRefusesEveryDamage) {
  TempDir dir;
  std::string path = dir.at("kestol.lck");
  int lock = open(path.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(lock, 0);
  Journal written = full_journal(" \n odd: 7");
  write_all_entries(lock, &written);
  Journal j;
  ASSERT_EQ(JournalState::set, read_journal(lock, &j));
  EXPECT_TRUE(j.committed && j.has_appended);
  EXPECT_EQ(9, j.keep);
  EXPECT_EQ(0x203u, j.generations);
  EXPECT_EQ(1358, j.appended_to);
  EXPECT_EQ(0xfedcba9876543210ULL, j.backup.sample);
  for (int i = 0; i < 2; ++i) {
    EXPECT_STREQ(written.files[i].path, j.files[i].path);
    EXPECT_STREQ(written.files[i].real, j.files[i].real);
    EXPECT_EQ(written.files[i].spool_sum, j.files[i].spool_sum);
    EXPECT_EQ(written.files[i].length, j.files[i].length);
  }
  EXPECT_TRUE(j.files[0].created && !j.files[1].created);
  EXPECT_TRUE(clear_journal(lock));
  EXPECT_EQ(JournalState::none, read_journal(lock, &j));

  // Without line feeds in the paths, so that only an entry's own end is one.
  written = full_journal("../../updates.wp");
  write_all_entries(lock, &written);
  const std::string text = get(path);
  std::size_t ends[3];
  for (std::size_t at = 0, n = 0; n < 3; ++n) ends[n] = at = text.find('\n', at) + 1;
  const char* const whole[] = {"unfinished", "begin", "begin+appended", "begin+appended+committed"};
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    int entries = 0;
    while (entries < 3 && ends[entries] <= cut) ++entries;
    EXPECT_EQ(cut == 0 ? "none" : whole[entries], reading(lock, path, text.substr(0, cut)))
        << "cut at " << cut;
    std::string zeroed = text.substr(0, cut) + std::string(text.size() - cut, '\0');
    EXPECT_EQ(whole[entries], reading(lock, path, zeroed)) << "zeros from " << cut;
  }
  for (std::size_t at = 0; at < text.size(); ++at) {
    for (char flip : {'\x01', '\x20'}) {
      std::string changed = text;
      changed[at] = static_cast<char>(changed[at] ^ flip);
      EXPECT_EQ("unreadable", reading(lock, path, changed)) << "byte " << at << " ^ " << int{flip};
    }
  }
  const std::string begin = text.substr(0, ends[0]);
  for (const std::string& other :
       {std::string("rewriting 2\ncopy 1 2 3\n"), std::string("hello"), std::string("\n"),
        begin + begin,                                   // begin twice
        text.substr(ends[0], ends[1] - ends[0]),         // no begin
        text + text.substr(ends[1], ends[2] - ends[1]),  // an entry after committed
        std::string("x") + std::string(30000, 'y')}) {   // longer than any journal
    EXPECT_EQ("unreadable", reading(lock, path, other)) << other.substr(0, 40);
  }
  close(lock);
}

namespace {

std::string numbered_lines(int from, int to) {
  std::string lines;
  for (int i = from; i < to; ++i) lines += "On 1261208 QA" + std::to_string(i) + "BC/U @ QQ1AA zip ? Ann ?\n";
  return lines;
}

}  // namespace

// The commit's append lands exactly once, whatever a crash left of it and
// whatever others appended since: a part that landed is kept (a part that
// read back as zeros is written again), the rest follows at the end, and
// where others' lines follow a part that landed, only its whole lines
// count as landed.
TEST(AppendSpool, LandsOnceWhateverACrashLeftAndOthersAppended) {
  const std::string before = "earlier line\n";
  const std::string spool = numbered_lines(0, 200);  // over one 4 KiB block
  const std::string other = "On 1261209 QZ9ZZ/U @ written since\n";
  const std::size_t mid_line = spool.find('\n', 5000) - 7;
  const std::size_t line_end = spool.rfind('\n', mid_line) + 1;
  struct Case {
    const char* name;
    std::string found;  // the file when the append (again) starts
    std::string expected;
  } cases[] = {
      {"nothing landed", before, before + spool},
      {"all landed", before + spool, before + spool},
      {"all landed, others after", before + spool + other, before + spool + other},
      {"part landed", before + spool.substr(0, mid_line), before + spool},
      {"part landed, then zeros to its end",
       before + spool.substr(0, 100) + std::string(spool.size() - 100, '\0'), before + spool},
      {"read back as zeros", before + std::string(spool.size(), '\0'), before + spool},
      {"whole lines landed, others after", before + spool.substr(0, line_end) + other,
       before + spool.substr(0, line_end) + other + spool.substr(line_end)},
      // The part of a line before others' line stays as it is; the line
      // comes again whole.
      {"part of a line landed, others after", before + spool.substr(0, mid_line) + other,
       before + spool.substr(0, mid_line) + other + spool.substr(line_end)},
      {"others only", before + other, before + other + spool},
      {"taken away and begun anew", other, other + spool},
      {"taken away", "", spool},
  };
  // Appends spool to the file at `file` in dir, as journaled with the
  // file's length `length` then, and answers what the journal says after.
  auto append = [](const TempDir& dir, const std::string& bytes, std::int64_t length, SpoolUnit unit,
                   std::uint64_t sum, bool* done) {
    put(dir.at("spool"), bytes);
    int lock = open(dir.at("kestol.lck").c_str(), O_RDWR | O_CREAT, 0600);
    Journal j = full_journal("updates");
    j.count = 1;
    j.files[0] = {false, "mess.wp", "/mess.wp", length, static_cast<std::int64_t>(bytes.size()),
                  sum,   0,         length};
    EXPECT_TRUE(write_journal(lock, &j, JournalEntry::begin) &&
                write_journal(lock, &j, JournalEntry::committed));
    // Twice, the second time as the journal then reads: it changes nothing.
    for (int time = 0; time < 2; ++time) {
      int file = open(dir.at("file").c_str(), O_RDWR);
      int in = open(dir.at("spool").c_str(), O_RDONLY);
      EXPECT_EQ(JournalState::set, read_journal(lock, &j));
      bool spool_failed = true;
      *done = append_spool(file, in, lock, &j, 0, unit, &spool_failed);
      EXPECT_EQ(!*done, spool_failed);
      close(file);
      close(in);
    }
    close(lock);
  };
  for (const Case& c : cases) {
    TempDir dir;
    put(dir.at("file"), c.found);
    std::uint64_t sum = checksum_of(spool.data(), spool.size());
    bool done = false;
    append(dir, spool, static_cast<std::int64_t>(before.size()), SpoolUnit::line, sum, &done);
    EXPECT_TRUE(done) << c.name;
    EXPECT_TRUE(get(dir.at("file")) == c.expected) << c.name;
    // A spool that is not the one journaled appends nothing.
    append(dir, spool, static_cast<std::int64_t>(before.size()), SpoolUnit::line, sum ^ 1, &done);
    EXPECT_FALSE(done) << c.name;
    EXPECT_TRUE(get(dir.at("file")) == c.expected) << c.name;
  }
  // Records: only whole records count as landed before others' records.
  TempDir dir;
  std::string records = pattern_bytes(3 * 194), theirs(194, 'T');
  std::string found = records.substr(0, 300) + theirs;
  put(dir.at("file"), found);
  bool done = false;
  append(dir, records, 0, SpoolUnit::record, checksum_of(records.data(), records.size()), &done);
  EXPECT_TRUE(done);
  EXPECT_TRUE(get(dir.at("file")) == found + records.substr(194));
}

namespace {

// wp.old, wp.old.1 ... wp.old.4 and wp.new, each "(none)" when absent.
std::vector<std::string> chain(const TempDir& dir) {
  std::vector<std::string> names = {"wp.old", "wp.old.1", "wp.old.2", "wp.old.3", "wp.old.4", "wp.new"};
  for (std::string& name : names)
    name = fs::exists(dir.at(name.c_str())) ? get(dir.at(name.c_str())) : "(none)";
  return names;
}

}  // namespace

// A rotation stopped after any of its steps is taken up where it stopped
// and ends as one that was not; names that fit no step of it are refused
// with nothing moved; a rename never lands on an existing name.
TEST(Generations, ARotationStoppedAnywhereEndsAsOneThatWasNot) {
  struct Case {
    const char* name;
    int keep;
    std::vector<const char*> present;  // contents of wp.old, wp.old.1, ...; nullptr: absent
    std::vector<std::string> expected;
  } cases[] = {
      {"full chain", 3, {"D1", "D2", "D3", "D4"}, {"new", "D1", "D2", "D3", "(none)", "(none)"}},
      {"a gap moves up too", 3, {"D1", nullptr, "D3"}, {"new", "D1", "(none)", "D3", "(none)", "(none)"}},
      {"keep 0", 0, {"D1"}, {"new", "(none)", "(none)", "(none)", "(none)", "(none)"}},
      {"first run", 2, {}, {"new", "(none)", "(none)", "(none)", "(none)", "(none)"}},
  };
  for (const Case& c : cases) {
    unsigned present = 0;
    for (std::size_t n = 0; n < c.present.size(); ++n) present |= c.present[n] != nullptr ? 1u << n : 0;
    // The steps, done by hand one more each time before the rotation.
    std::vector<std::pair<std::string, std::string>> steps;
    auto name = [](int n) { return n == 0 ? std::string("wp.old") : "wp.old." + std::to_string(n); };
    if ((present >> c.keep & 1) != 0) steps.push_back({name(c.keep), ""});
    for (int n = c.keep - 1; n >= 0; --n) {
      if ((present >> n & 1) != 0) steps.push_back({name(n), name(n + 1)});
    }
    steps.push_back({"wp.new", "wp.old"});
    for (std::size_t done = 0; done <= steps.size(); ++done) {
      TempDir dir;
      for (std::size_t n = 0; n < c.present.size(); ++n) {
        if (c.present[n] != nullptr) put(dir.at(name(static_cast<int>(n)).c_str()), c.present[n]);
      }
      put(dir.at("wp.new"), "new");
      for (std::size_t s = 0; s < done; ++s) {
        if (steps[s].second.empty()) {
          fs::remove(dir.at(steps[s].first.c_str()));
        } else {
          fs::rename(dir.at(steps[s].first.c_str()), dir.at(steps[s].second.c_str()));
        }
      }
      char failed[kGenerationNameSize];
      EXPECT_TRUE(rotate_generations(dir.fd, c.keep, present, failed)) << c.name << " after " << done;
      EXPECT_TRUE(c.expected == chain(dir)) << c.name << " after " << done;
    }
  }
  TempDir dir;
  put(dir.at("wp.old"), "D1");
  put(dir.at("wp.old.2"), "D3");  // not there when the run committed
  put(dir.at("wp.new"), "new");
  auto before = chain(dir);
  char failed[kGenerationNameSize];
  EXPECT_FALSE(rotate_generations(dir.fd, 3, 1u, failed));
  EXPECT_STREQ("wp.new", failed);
  EXPECT_TRUE(before == chain(dir));
  EXPECT_FALSE(rename_to_new_name(dir.fd, "wp.new", "wp.old"));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_TRUE(before == chain(dir));
}
namespace {

void ignore_alarm(int) {}

}  // namespace

TEST(FdIo, WritesEverythingThroughInterruptsAndShortCounts) {
  // A pipe read slowly while a timer interrupts the writer: writes come
  // back short or with EINTR, and every byte must still arrive in order.
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  std::string data = pattern_bytes(4 << 20);
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    ssize_t n;
    while ((n = read_some(fds[0], buffer, sizeof buffer)) > 0) {
      received.append(buffer, static_cast<std::size_t>(n));
      if (received.size() % (256 * 1024) < 4096) usleep(2000);
    }
  });
  struct sigaction action = {};
  action.sa_handler = ignore_alarm;  // no SA_RESTART: calls are interrupted
  struct sigaction previous;
  sigaction(SIGALRM, &action, &previous);
  struct itimerval timer = {{0, 500}, {0, 500}};
  setitimer(ITIMER_REAL, &timer, nullptr);
  bool written = write_all(fds[1], data.data(), data.size());
  struct itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_TRUE(written);
  EXPECT_TRUE(close_fd(fds[1]));
  reader.join();
  close(fds[0]);
  EXPECT_TRUE(received == data) << received.size() << " of " << data.size() << " bytes";
}

TEST(PathWalk, RelativePathsClimbOnlyWholeComponents) {
  struct Case {
    const char* from;
    const char* to;
    const char* expected;
  } cases[] = {
      {"/srv/bbs/data/wp", "/srv/bbs/updates.wp", "../../updates.wp"},
      {"/srv/bbs/data/wp", "/srv/bbs/data/wp/mess.wp", "mess.wp"},
      {"/srv/bbs", "/srv/bbsx/upd", "../bbsx/upd"},  // a common prefix that is no component
      {"/srv/bbsx", "/srv/bbs/upd", "../bbs/upd"},
      {"/", "/upd", "upd"},
      {"/a/b", "/upd", "../../upd"},
  };
  for (const Case& c : cases) {
    char out[kJournalPathSize];
    ASSERT_TRUE(relative_path(c.from, c.to, out, sizeof out)) << c.from << " " << c.to;
    EXPECT_STREQ(c.expected, out) << c.from << " " << c.to;
  }
  char small[8];
  EXPECT_FALSE(relative_path("/a/b/c/d", "/x/y", small, sizeof small));
}
