// Backup copy, restore, the run lock, and descriptor I/O under signals.
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

#include "files/copy_file.h"
#include "files/journal.h"
#include "files/path_walk.h"
#include "files/run_lock.h"
#include "files/undo.h"
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
    mode_t old_mask = umask(022);
    EXPECT_EQ(CopyResult::copied, copy_file(dir.fd, "wp.sys", "wp.new", "wp.old")) << size;
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
    EXPECT_EQ(CopyResult::copied, copy_file(dir.fd, "wp.sys", "wp.new", "wp.old")) << stale;
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

TEST(CopyFile, RefusesLinksAndAnythingButARegularFileAndKeepsTheBackup) {
  struct Case {
    const char* name;
    void (*prepare)(const TempDir&);
    CopyResult result;
  } cases[] = {
      {"no database", [](const TempDir& d) { fs::remove(d.at("wp.sys")); }, CopyResult::no_source},
      {"backup a folder", [](const TempDir& d) { fs::create_directory(d.at("wp.old")); },
       CopyResult::model_refused},
      {"backup hard-linked to the database",
       [](const TempDir& d) { ASSERT_EQ(0, link(d.at("wp.sys").c_str(), d.at("wp.old").c_str())); },
       CopyResult::same_file},
      {"backup a symbolic link to the database",
       [](const TempDir& d) { ASSERT_EQ(0, symlink("wp.sys", d.at("wp.old").c_str())); },
       CopyResult::same_file},
      {"backup a symbolic link elsewhere",
       [](const TempDir& d) { ASSERT_EQ(0, symlink("elsewhere", d.at("wp.old").c_str())); },
       CopyResult::model_refused},
      {"database a symbolic link",
       [](const TempDir& d) {
         fs::rename(d.at("wp.sys"), d.at("secret"));
         ASSERT_EQ(0, symlink("secret", d.at("wp.sys").c_str()));
       },
       CopyResult::no_source},
      {"database a FIFO",
       [](const TempDir& d) {
         fs::remove(d.at("wp.sys"));
         ASSERT_EQ(0, mkfifo(d.at("wp.sys").c_str(), 0600));
       },
       CopyResult::no_source},
  };
  for (const Case& c : cases) {
    TempDir dir;
    put(dir.at("wp.sys"), "data");
    c.prepare(dir);
    struct stat before;
    bool had_backup = lstat(dir.at("wp.old").c_str(), &before) == 0;
    EXPECT_EQ(c.result, copy_file(dir.fd, "wp.sys", "wp.new", "wp.old")) << c.name;
    EXPECT_FALSE(fs::exists(dir.at("wp.new"))) << c.name;
    struct stat st;
    if (lstat(dir.at("wp.sys").c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      EXPECT_EQ("data", get(dir.at("wp.sys"))) << c.name;
    }
    struct stat after;
    EXPECT_EQ(had_backup, lstat(dir.at("wp.old").c_str(), &after) == 0) << c.name;
    if (had_backup) {
      EXPECT_EQ(before.st_ino, after.st_ino) << c.name;
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

TEST(Journal, ReadsBackWhatWasWrittenAndOlderJournals) {
  TempDir dir;
  int lock = open(dir.at("kestol.lck").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(lock, 0);
  Journal journal;
  EXPECT_EQ(MarkState::clear, read_mark(lock, &journal));
  // Paths of any bytes (blanks and line feeds first too), and first
  // bytes that hold line feeds.
  const char* const names[] = {" upd", "\n odd 7"};
  const char* const reals[] = {"/a b/ upd", "/\n/ odd 7"};
  put(dir.at(names[0]), pattern_bytes(5000));
  put(dir.at(names[1]), "abc");
  Journal written;
  for (int i = 0; i < 2; ++i) {
    int fd = open(dir.at(names[i]).c_str(), O_RDONLY);
    ASSERT_TRUE(journal_appended_file(&written, names[i], reals[i], fd));
    close(fd);
  }
  written.has_backup = true;
  written.backup = {194000, 1796731200, 0xfedcba9876543210ULL};
  ASSERT_TRUE(mark_rewriting(lock, &written));
  ASSERT_TRUE(note_first_write(lock, &written, 1, "On 1\nline\n", 10));
  const std::int64_t ends[] = {5000, 13};
  ASSERT_TRUE(note_ends(lock, &written, ends));
  ASSERT_EQ(MarkState::marked, read_mark(lock, &journal));
  ASSERT_EQ(2, journal.count);
  for (int i = 0; i < 2; ++i) {
    EXPECT_STREQ(names[i], journal.files[i].path);
    EXPECT_STREQ(reals[i], journal.files[i].real);
    EXPECT_EQ(written.files[i].tail, journal.files[i].tail);
    EXPECT_TRUE(journal.files[i].has_end);
    EXPECT_EQ(ends[i], journal.files[i].end);
  }
  EXPECT_EQ(5000, journal.files[0].length);
  EXPECT_EQ(0, journal.files[0].first_count);
  EXPECT_EQ(10, journal.files[1].first_count);
  EXPECT_EQ(0, std::memcmp("On 1\nline\n", journal.files[1].first, 10));
  EXPECT_TRUE(journal.has_backup && !journal.legacy_backup);
  EXPECT_EQ(0xfedcba9876543210ULL, journal.backup.sample);
  EXPECT_EQ(1796731200, journal.backup.mtime);
  // A last line cut short by a crash is not used; the rest stands.
  std::string text = get(dir.at("kestol.lck"));
  put(dir.at("kestol.lck"), text.substr(0, text.size() - 4));
  ASSERT_EQ(MarkState::marked, read_mark(lock, &journal));
  EXPECT_EQ(2, journal.count);
  EXPECT_EQ(10, journal.files[1].first_count);
  EXPECT_TRUE(journal.files[0].has_end);
  EXPECT_FALSE(journal.files[1].has_end);
  EXPECT_TRUE(clear_rewriting(lock));
  EXPECT_EQ(MarkState::clear, read_mark(lock, &journal));
  EXPECT_EQ("", get(dir.at("kestol.lck")));
  // Older runs' journals: entries by device and inode, or a plain mark.
  struct Older {
    const char* text;
    MarkState state;
    bool legacy_backup;
    const char* path;  // of the one appended file, if any
  } older[] = {
      {"rewriting", MarkState::marked, false, nullptr},
      {"rewriting\nbackup 7 8 194000\nappend 7 9 10 4 a wp", MarkState::marked, true, "a wp"},
      {"rewritin", MarkState::clear, false, nullptr},                            // a partial mark is no mark
      {"rewriting 3\nfile 1 2 3 abc\n", MarkState::unreadable, false, nullptr},  // a format not known here
  };
  for (const Older& o : older) {
    put(dir.at("kestol.lck"), o.text);
    EXPECT_EQ(o.state, read_mark(lock, &journal)) << o.text;
    EXPECT_EQ(o.legacy_backup, journal.legacy_backup) << o.text;
    ASSERT_EQ(o.path != nullptr ? 1 : 0, journal.count) << o.text;
    if (o.path != nullptr) {
      EXPECT_STREQ(o.path, journal.files[0].path);
      EXPECT_TRUE(journal.files[0].legacy);
      EXPECT_EQ(9u, journal.files[0].inode);
    }
  }
  close(lock);
}

TEST(Undo, CutsOnlyTheRunsOwnBytesOfTheFileItAppendedTo) {
  struct Case {
    const char* name;
    bool written;                        // the run wrote to it (a wrote line)
    void (*meddle)(const std::string&);  // what happened to it since
    UndoProblem problem;
    std::string expected;
    const char* path = "mess.wp";  // in the journal, from the folder
    std::int64_t end = -1;         // where the run's appends ended; -1: not recorded
  } cases[] = {
      {"appended", true, nullptr, UndoProblem::none, "before"},
      {"never written", false, nullptr, UndoProblem::none, "before+appended"},
      {"copied with its times to a new inode", true,
       [](const std::string& p) {
         fs::copy_file(p, p + ".copy");
         fs::remove(p);
         fs::rename(p + ".copy", p);
       },
       UndoProblem::none, "before"},
      {"already cut back", true, [](const std::string& p) { ASSERT_EQ(0, truncate(p.c_str(), 6)); },
       UndoProblem::none, "before"},
      {"shorter than recorded", true, [](const std::string& p) { ASSERT_EQ(0, truncate(p.c_str(), 2)); },
       UndoProblem::changed, "be"},
      {"replaced by another file", true,
       [](const std::string& p) { put(p, "another file, longer than before"); }, UndoProblem::changed,
       "another file, longer than before"},
      {"other bytes after the length", true, [](const std::string& p) { put(p, "before+someone's"); },
       UndoProblem::changed, "before+someone's"},
      {"gone", true, [](const std::string& p) { fs::remove(p); }, UndoProblem::missing, "(none)"},
      {"appends ended, nothing since", true, nullptr, UndoProblem::none, "before", "mess.wp", 15},
      {"written to since the appends ended", true,
       [](const std::string& p) { std::ofstream(p, std::ios::app) << "+later"; }, UndoProblem::changed,
       "before+appended+later", "mess.wp", 15},
      {"found by its real path when its path from the folder misses", true, nullptr, UndoProblem::none,
       "before", "../elsewhere/mess.wp"},
      {"a symbolic link now", true,
       [](const std::string& p) {
         fs::rename(p, p + ".real");
         fs::create_symlink(p + ".real", p);
       },
       UndoProblem::missing, "before+appended"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    put(dir.at("mess.wp"), "before");
    put(dir.at("wp.old"), "backup");
    Journal journal;
    int fd = open(dir.at("mess.wp").c_str(), O_RDONLY);
    ASSERT_TRUE(journal_appended_file(&journal, c.path, fs::canonical(dir.at("mess.wp")).c_str(), fd));
    close(fd);
    journal.files[0].has_end = c.end >= 0;
    journal.files[0].end = c.end;
    int backup = open(dir.at("wp.old").c_str(), O_RDONLY);
    journal.has_backup = identify_copy(backup, &journal.backup);
    close(backup);
    put(dir.at("mess.wp"), "before+appended");
    if (c.written) {
      journal.files[0].first_count = 3;
      std::memcpy(journal.files[0].first, "+ap", 3);
    }
    if (c.meddle != nullptr) c.meddle(dir.at("mess.wp"));
    UndoCheck check;
    check_undo(dir.folder(), "wp.old", journal, false, &check);
    EXPECT_EQ(c.problem, check.file[0]) << c.name;
    EXPECT_EQ(UndoProblem::none, check.backup) << c.name;
    int failed = -1;
    if (undo_is_safe(check)) {
      EXPECT_TRUE(cut_files(journal, check, &failed)) << c.name;
    }
    close_undo(&check);
    // Through the link, if it is one now: its target is left as it was.
    EXPECT_EQ(c.expected, fs::exists(dir.at("mess.wp")) ? get(dir.at("mess.wp")) : "(none)") << c.name;
  }
}

TEST(Undo, TheBackupMustBeTheCopyTheRunMade) {
  struct Case {
    const char* name;
    void (*meddle)(const std::string&);
    UndoProblem problem;
  } cases[] = {
      {"as copied", nullptr, UndoProblem::none},
      {"copied with its times",
       [](const std::string& p) {
         ASSERT_EQ(0, std::system(("cp -a " + p + " " + p + ".c && mv " + p + ".c " + p).c_str()));
       },
       UndoProblem::none},
      {"copied without its times",
       [](const std::string& p) {
         ASSERT_EQ(
             0,
             std::system(
                 ("cp " + p + " " + p + ".c && touch -d @1000 " + p + ".c && mv " + p + ".c " + p).c_str()));
       },
       UndoProblem::changed},
      {"same length, other bytes",
       [](const std::string& p) {
         struct stat st;
         stat(p.c_str(), &st);
         std::string bytes = get(p);
         bytes[bytes.size() - 1] ^= 1;
         put(p, bytes);
         struct timespec times[2] = {st.st_atim, st.st_mtim};
         utimensat(AT_FDCWD, p.c_str(), times, 0);
       },
       UndoProblem::changed},
      {"gone", [](const std::string& p) { fs::remove(p); }, UndoProblem::missing},
  };
  for (const Case& c : cases) {
    TempDir dir;
    put(dir.at("wp.old"), pattern_bytes(300000));  // longer than the two samples
    Journal journal;
    int backup = open(dir.at("wp.old").c_str(), O_RDONLY);
    journal.has_backup = identify_copy(backup, &journal.backup);
    close(backup);
    if (c.meddle != nullptr) c.meddle(dir.at("wp.old"));
    UndoCheck check;
    check_undo(dir.folder(), "wp.old", journal, false, &check);
    EXPECT_EQ(c.problem, check.backup) << c.name;
    close_undo(&check);
  }
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
