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
    EXPECT_TRUE(copy_file(dir.at("wp.sys").c_str(), dir.at("wp.old").c_str())) << size;
    umask(old_mask);
    EXPECT_EQ(data, get(dir.at("wp.old"))) << size;
    struct stat st;
    ASSERT_EQ(0, stat(dir.at("wp.old").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777) << size;
  }
}

TEST(CopyFile, ExistingBackupKeepsItsModeAndIsTruncated) {
  TempDir dir;
  put(dir.at("wp.sys"), "new");
  put(dir.at("wp.old"), "an older and longer backup");
  chmod(dir.at("wp.old").c_str(), 0640);
  EXPECT_TRUE(copy_file(dir.at("wp.sys").c_str(), dir.at("wp.old").c_str()));
  EXPECT_EQ("new", get(dir.at("wp.old")));
  struct stat st;
  ASSERT_EQ(0, stat(dir.at("wp.old").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);
}

TEST(CopyFile, OpenFailuresSayWhichFileAndKeepTheBackup) {
  TempDir dir;
  put(dir.at("wp.old"), "last good copy");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(copy_file(dir.at("missing").c_str(), dir.at("wp.old").c_str()));
  EXPECT_EQ("Cannot find " + dir.at("missing") + "\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ("last good copy", get(dir.at("wp.old")));

  put(dir.at("wp.sys"), "data");
  fs::create_directory(dir.at("adir"));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(copy_file(dir.at("wp.sys").c_str(), dir.at("adir").c_str()));
  EXPECT_EQ("Cannot create " + dir.at("adir") + "\n", testing::internal::GetCapturedStderr());
}

TEST(CopyFile, ReadFailureInTheLoopRemovesTheIncompleteCopy) {
  TempDir dir;
  fs::create_directory(dir.at("source-dir"));  // opens, but reading fails
  testing::internal::CaptureStderr();
  EXPECT_FALSE(copy_file(dir.at("source-dir").c_str(), dir.at("wp.old").c_str()));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_FALSE(fs::exists(dir.at("wp.old")));
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

  EXPECT_FALSE(is_marked_rewriting(first));
  EXPECT_TRUE(mark_rewriting(first));
  EXPECT_TRUE(is_marked_rewriting(first));
  EXPECT_EQ("rewriting", get(path));
  EXPECT_TRUE(clear_rewriting(first));
  EXPECT_FALSE(is_marked_rewriting(first));
  EXPECT_EQ("", get(path));
  put(path, "rewritin");  // a partial mark is no mark
  EXPECT_FALSE(is_marked_rewriting(first));
  close(first);
  EXPECT_EQ(LockResult::locked, take_run_lock(path.c_str(), &second));
  close(second);
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
