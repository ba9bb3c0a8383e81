// Backup copy, restore, the run lock, and descriptor I/O under signals.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "files/copy_file.h"
#include "files/journal.h"
#include "files/run_lock.h"
#include "util/fd_io.h"

namespace fs = std::filesystem;

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kestol-unit-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path); }
  std::string at(const char* name) const { return path + "/" + name; }
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
    EXPECT_EQ(CopyResult::copied, copy_file(dir.at("wp.sys").c_str(), dir.at("wp.old").c_str())) << size;
    umask(old_mask);
    EXPECT_EQ(data, get(dir.at("wp.old"))) << size;
    struct stat st;
    ASSERT_EQ(0, stat(dir.at("wp.old").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777) << size;
  }
}

TEST(CopyFile, ExistingBackupKeepsItsModeAndEndsAtTheNewLength) {
  // The copy is written over the old backup and cut to length: a backup
  // that was longer, shorter or as long as the database.
  for (std::size_t old_size : {std::size_t{0}, std::size_t{3}, std::size_t{40000}, std::size_t{90000}}) {
    TempDir dir;
    std::string data = pattern_bytes(40000);
    put(dir.at("wp.sys"), data);
    put(dir.at("wp.old"), std::string(old_size, 'o'));
    chmod(dir.at("wp.old").c_str(), 0640);
    EXPECT_EQ(CopyResult::copied, copy_file(dir.at("wp.sys").c_str(), dir.at("wp.old").c_str())) << old_size;
    EXPECT_TRUE(get(dir.at("wp.old")) == data) << old_size;
    struct stat st;
    ASSERT_EQ(0, stat(dir.at("wp.old").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777) << old_size;
    // The restore likewise, over a database that was longer or shorter.
    put(dir.at("wp.sys"), std::string(old_size, 's'));
    EXPECT_TRUE(restore_file(dir.at("wp.old").c_str(), dir.at("wp.sys").c_str())) << old_size;
    EXPECT_TRUE(get(dir.at("wp.sys")) == data) << old_size;
  }
}

TEST(CopyFile, OpenFailuresSayWhichFileAndKeepTheBackup) {
  TempDir dir;
  put(dir.at("wp.old"), "last good copy");
  testing::internal::CaptureStderr();
  EXPECT_EQ(CopyResult::failed, copy_file(dir.at("missing").c_str(), dir.at("wp.old").c_str()));
  EXPECT_EQ("Cannot find " + dir.at("missing") + "\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ("last good copy", get(dir.at("wp.old")));

  put(dir.at("wp.sys"), "data");
  fs::create_directory(dir.at("adir"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(CopyResult::failed, copy_file(dir.at("wp.sys").c_str(), dir.at("adir").c_str()));
  EXPECT_EQ("Cannot create " + dir.at("adir") + "\n", testing::internal::GetCapturedStderr());
}

TEST(CopyFile, RefusesLinksAndAnythingButARegularFile) {
  struct Case {
    const char* name;
    void (*prepare)(const TempDir&);
    CopyResult result;
    const char* message;  // %s: the path named
    const char* named;
  } cases[] = {
      {"backup hard-linked to the database",
       [](const TempDir& d) { ASSERT_EQ(0, link(d.at("wp.sys").c_str(), d.at("wp.old").c_str())); },
       CopyResult::same_file, "Backup '%s' is the database file\n", "wp.old"},
      {"backup a symbolic link to the database",
       [](const TempDir& d) { ASSERT_EQ(0, symlink("wp.sys", d.at("wp.old").c_str())); },
       CopyResult::same_file, "Backup '%s' is the database file\n", "wp.old"},
      {"backup a symbolic link elsewhere",
       [](const TempDir& d) { ASSERT_EQ(0, symlink("elsewhere", d.at("wp.old").c_str())); },
       CopyResult::failed, "Cannot create %s\n", "wp.old"},
      {"database a symbolic link",
       [](const TempDir& d) {
         fs::rename(d.at("wp.sys"), d.at("secret"));
         ASSERT_EQ(0, symlink("secret", d.at("wp.sys").c_str()));
       },
       CopyResult::failed, "Cannot find %s\n", "wp.sys"},
      {"database a FIFO",
       [](const TempDir& d) {
         fs::remove(d.at("wp.sys"));
         ASSERT_EQ(0, mkfifo(d.at("wp.sys").c_str(), 0600));
       },
       CopyResult::failed, "Cannot find %s\n", "wp.sys"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    put(dir.at("wp.sys"), "data");
    c.prepare(dir);
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.result, copy_file(dir.at("wp.sys").c_str(), dir.at("wp.old").c_str())) << c.name;
    char message[512];
    std::snprintf(message, sizeof message, c.message, dir.at(c.named).c_str());
    EXPECT_EQ(message, testing::internal::GetCapturedStderr()) << c.name;
    struct stat st;
    if (lstat(dir.at("wp.sys").c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      EXPECT_EQ("data", get(dir.at("wp.sys"))) << c.name;
    }
  }
}

TEST(RestoreFile, RewritesTheDatabaseAndNeverRemovesAFile) {
  TempDir dir;
  std::string data = pattern_bytes(40000);
  put(dir.at("wp.old"), data);
  put(dir.at("wp.sys"), "half written");
  EXPECT_TRUE(restore_file(dir.at("wp.old").c_str(), dir.at("wp.sys").c_str()));
  EXPECT_EQ(data, get(dir.at("wp.sys")));
  // A missing backup fails and leaves the database as it is.
  EXPECT_FALSE(restore_file(dir.at("none").c_str(), dir.at("wp.sys").c_str()));
  EXPECT_EQ(data, get(dir.at("wp.sys")));
  // A source that fails while being read leaves the destination in place.
  fs::create_directory(dir.at("adir"));
  EXPECT_FALSE(restore_file(dir.at("adir").c_str(), dir.at("wp.sys").c_str()));
  EXPECT_TRUE(fs::exists(dir.at("wp.sys")));
}

TEST(RunLock, ExclusiveAndMarked) {
  TempDir dir;
  std::string path = dir.at("kestol.lck");
  int first = -1;
  ASSERT_EQ(LockResult::locked, take_run_lock(path.c_str(), &first));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  int second = -1;
  EXPECT_EQ(LockResult::in_use, take_run_lock(path.c_str(), &second));
  EXPECT_EQ(LockResult::cannot_open, take_run_lock(dir.at("no/such/dir").c_str(), &second));
  int reader = open(path.c_str(), O_RDONLY);  // the run's record lock, seen without locking
  EXPECT_TRUE(run_lock_is_held(reader));

  Journal journal;
  EXPECT_EQ(MarkState::clear, read_mark(first, &journal));
  // Paths of any bytes (blanks and line feeds first too), the backup, and
  // a plain mark of an older run with no files.
  const char* const names[] = {" upd", "\n odd 7"};
  put(dir.at(names[0]), "0123456789");
  put(dir.at(names[1]), "abc");
  Journal written;
  for (const char* name : names) {
    int fd = open(dir.at(name).c_str(), O_RDONLY);
    ASSERT_TRUE(journal_appended_file(&written, name, fd));
    close(fd);
  }
  written.has_backup = true;
  written.backup = {7, 8, 194000};
  EXPECT_TRUE(mark_rewriting(first, written));
  ASSERT_EQ(MarkState::marked, read_mark(first, &journal));
  ASSERT_EQ(2, journal.count);
  for (int i = 0; i < 2; ++i) {
    EXPECT_STREQ(names[i], journal.files[i].path);
    EXPECT_EQ(written.files[i].identity.inode, journal.files[i].identity.inode);
    EXPECT_EQ(written.files[i].identity.device, journal.files[i].identity.device);
  }
  EXPECT_EQ(10, journal.files[0].identity.length);
  EXPECT_EQ(3, journal.files[1].identity.length);
  EXPECT_TRUE(journal.has_backup);
  EXPECT_EQ(194000, journal.backup.length);
  EXPECT_EQ(8u, journal.backup.inode);
  EXPECT_EQ(0u, get(path).find("rewriting"));
  EXPECT_TRUE(clear_rewriting(first));
  EXPECT_EQ(MarkState::clear, read_mark(first, &journal));
  EXPECT_EQ("", get(path));
  put(path, "rewriting");
  EXPECT_EQ(MarkState::marked, read_mark(first, &journal));
  EXPECT_EQ(0, journal.count);
  EXPECT_FALSE(journal.has_backup);
  put(path, "rewritin");  // a partial mark is no mark
  EXPECT_EQ(MarkState::clear, read_mark(first, &journal));
  close(first);
  EXPECT_FALSE(run_lock_is_held(reader));
  close(reader);
  struct flock record = {};
  record.l_type = F_WRLCK;
  int other = open(path.c_str(), O_RDWR);
  ASSERT_EQ(0, fcntl(other, F_OFD_SETLK, &record));
  EXPECT_EQ(LockResult::in_use, take_run_lock(path.c_str(), &second));  // a record lock alone is a run
  close(other);
  // Somebody else could write the journal: no lock.
  chmod(path.c_str(), 0620);
  EXPECT_EQ(LockResult::cannot_open, take_run_lock(path.c_str(), &second));
  chmod(path.c_str(), 0600);
  if (geteuid() == 0) {
    ASSERT_EQ(0, chown(path.c_str(), 65534, 0));
    EXPECT_EQ(LockResult::cannot_open, take_run_lock(path.c_str(), &second));
    ASSERT_EQ(0, chown(path.c_str(), 0, 0));
  }
  EXPECT_EQ(LockResult::locked, take_run_lock(path.c_str(), &second));
  close(second);
}

TEST(Journal, CutsOnlyTheSameFilesAndOnlyDown) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string after;                        // what the run appended
    void (*meddle)(const std::string& path);  // what happened to it since
    std::string expected;
  } cases[] = {
      {"appended", "before+appended", nullptr, "before"},
      {"nothing appended", "before", nullptr, "before"},
      {"shorter than recorded", "before", [](const std::string& p) { EXPECT_EQ(0, truncate(p.c_str(), 2)); },
       "be"},
      {"replaced by another file", "before+appended",
       [](const std::string& p) {
         fs::rename(p, p + ".moved");
         put(p, "another file, longer than before");
       },
       "another file, longer than before"},
  };
  for (const Case& c : cases) {
    std::string path = dir.at(c.name);
    put(path, "before");
    Journal journal;
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_TRUE(journal_appended_file(&journal, path.c_str(), fd));
    close(fd);
    put(path, c.after);
    if (c.meddle != nullptr) c.meddle(path);
    const char* failed = nullptr;
    EXPECT_TRUE(cut_appended_files(journal, &failed)) << c.name;
    EXPECT_EQ(c.expected, get(path)) << c.name;
  }
  // A file that is gone stays gone.
  Journal journal;
  int fd = open(dir.at("appended").c_str(), O_RDONLY);
  ASSERT_TRUE(journal_appended_file(&journal, dir.at("appended").c_str(), fd));
  close(fd);
  fs::remove(dir.at("appended"));
  const char* failed = nullptr;
  EXPECT_TRUE(cut_appended_files(journal, &failed));
  EXPECT_FALSE(fs::exists(dir.at("appended")));
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
