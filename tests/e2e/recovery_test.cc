// End to end: the run lock, restoring the database after a failure, and
// recovering after a run that was killed. Nothing may ever be lost.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

std::string database(int n) { return mixed_database(n); }

struct Prepared {
  Site site;
  std::string data;
  explicit Prepared(const std::string& bytes) : data(bytes) {
    site.write_init();
    site.write("data/wp/wp.sys", data);
  }
};

// What one uninterrupted run makes of data.
std::string clean_result(const std::string& data) {
  Prepared p(data);
  RunResult r = p.site.run({});
  if (r.status != 0) return "clean run failed: " + r.err;
  return p.site.read("data/wp/wp.sys");
}

}  // namespace

TEST(RunLock, SecondRunFindsTheDatabaseInUse) {
  Prepared p(database(50));
  p.site.write("data/wp/wp.old", "backup of the running run");
  int fd = open(p.site.path("data/wp/kestol.lck").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));
  RunResult r = p.site.run({});
  close(fd);
  EXPECT_EQ(4, r.status);
  EXPECT_EQ(std::string(kSettings) + "Database 'data/wp/wp.sys' is in use\n", r.err);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(p.data, p.site.read("data/wp/wp.sys"));
  EXPECT_EQ("backup of the running run", p.site.read("data/wp/wp.old"));
  EXPECT_EQ(0, p.site.run({}).status);  // once released, the lock is free
}

TEST(Recovery, MarkedLockRestoresTheDatabaseFirst) {
  std::string data = database(500);
  Prepared p(data.substr(0, 7 * kRecordSize + 50));  // a half-written database
  p.site.write("data/wp/wp.old", data);
  p.site.write("data/wp/kestol.lck", "rewriting");
  RunResult r = p.site.run({});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(0u, r.err.find(std::string(kSettings) + kRecovered + kSaves)) << r.err.substr(0, 400);
  EXPECT_TRUE(same_bytes(clean_result(data), p.site.read("data/wp/wp.sys")));
  EXPECT_EQ(data, p.site.read("data/wp/wp.old"));
  EXPECT_EQ("", p.site.read("data/wp/kestol.lck"));
}

// A run that cannot trust the backup or read the journal stops before it
// touches anything: going on could copy a half-written database over the
// only backup, or restore a backup that is not the one copied.
// A run that cannot trust the backup stops before it touches anything:
// restoring a backup that is not the one copied could lose later changes.
// kestol --recover then restores it, or keeps the database as it is when
// there is none. (The journal's own read errors are in the fault tests.)
TEST(Recovery, StopsWithoutAWholeBackupOrAReadableJournal) {
  const std::string cannot_restore = "Cannot restore 'data/wp/wp.sys' from 'data/wp/wp.old'\n";
  struct Case {
    const char* name;
    const char* backup;  // nullptr: none
    bool journal_names_backup;
    int status;
    std::string message;
    int recover_status;    // of kestol --recover then
    const char* database;  // wp.sys after it
  } cases[] = {
      {"no backup to restore from", nullptr, false, 2,
       cannot_restore +
           "Interrupted run: 'data/wp/wp.old' is gone; put the database as it was before that run back "
           "there and run kestol --recover, or run kestol --recover to keep 'data/wp/wp.sys' as that run "
           "left "
           "it\n",
       0, "half"},
      {"backup changed since it was copied", "a backup cut short", true, 2,
       cannot_restore +
           "Interrupted run: 'data/wp/wp.old' is not the backup it made; if it holds the database as it "
           "was before that run, run kestol --recover\n",
       0, "a backup cut short"},
  };
  for (const Case& c : cases) {
    Prepared p("half");
    p.site.write("data/wp/mess.wp", "");  // opened before the journal is read
    std::string mark = "rewriting";
    if (c.backup != nullptr) p.site.write("data/wp/wp.old", c.backup);
    if (c.journal_names_backup) {
      struct stat st;
      ASSERT_EQ(0, stat(p.site.path("data/wp/wp.old").c_str(), &st));
      mark += "\nbackup " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " +
              std::to_string(st.st_size + 100);  // as long as it was when copied
    }
    p.site.write("data/wp/kestol.lck", mark);
    chmod(p.site.path("data/wp/kestol.lck").c_str(), 0600);
    auto before = p.site.files();
    RunResult r = p.site.run({});
    EXPECT_EQ(c.status, r.status) << c.name;
    EXPECT_EQ(std::string(kSettings) + c.message, r.err) << c.name;
    EXPECT_EQ(before, p.site.files()) << c.name;  // the mark included
    RunResult recovered = p.site.run({"--recover"});
    EXPECT_EQ(c.recover_status, recovered.status) << c.name << "\n" << recovered.err;
    EXPECT_EQ(c.database, p.site.read("data/wp/wp.sys")) << c.name;
    EXPECT_EQ(c.recover_status == 0, p.site.read("data/wp/kestol.lck").empty()) << c.name;
  }
}

// Kill real runs at random moments (the fault tests kill at every system
// call, through the seam); the database or its backup always holds the
// original, and the next run under the same frozen clock ends where one
// uninterrupted run would have.
TEST(Recovery, KilledRunsAreRecovered) {
  std::string data = database(15000);  // about 2.9 MB
  std::string expected = clean_result(data);
  // Time one whole run to spread the kills over its length.
  Prepared timed(data);
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(0, timed.site.run({}).status);
  auto whole =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
  std::mt19937 random(20261208);
  std::uniform_int_distribution<long> delay(0, whole.count());
  int killed = 0, recovered = 0;
  for (int i = 0; i < 20; ++i) {
    Prepared p(data);
    pid_t pid = p.site.start({});
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    kill(pid, SIGKILL);
    RunResult r = p.site.wait_run(pid);
    if (r.status == 128 + SIGKILL) ++killed;
    bool database_whole = p.site.read("data/wp/wp.sys") == data;
    bool backup_whole = p.site.exists("data/wp/wp.new") && p.site.read("data/wp/wp.new") == data;
    bool finished = p.site.read("data/wp/wp.sys") == expected;
    EXPECT_TRUE(database_whole || backup_whole || finished) << "kill " << i;
    RunResult next = p.site.run({});
    EXPECT_EQ(0, next.status) << "kill " << i << "\n" << next.err;
    if (next.err.find(kRecoveredNew) != std::string::npos) ++recovered;
    EXPECT_TRUE(same_bytes(expected, p.site.read("data/wp/wp.sys"))) << "kill " << i;
  }
  std::printf("[ killed %d of 20 runs, %d recovered from the backup; a whole run took %ld us ]\n", killed,
              recovered, static_cast<long>(whole.count()));
}

// A standard output and error that nobody reads any more (a log pipe that
// died) never stop a run half-way: it completes.
TEST(Signals, AClosedPipeDoesNotInterruptTheRun) {
  std::string data = database(3000);
  Prepared p(data);
  RunSettings piped;
  piped.broken_pipe = true;
  EXPECT_EQ(0, p.site.run({}, piped).status);
  EXPECT_TRUE(same_bytes(clean_result(data), p.site.read("data/wp/wp.sys")));
  EXPECT_EQ("", p.site.read("data/wp/kestol.lck"));
}

// The real binary under strace behaves as the fault tests over the
// system-call table say: a write error undoes the run, a kill while
// rewriting is recovered by the next run, a journal that cannot be read
// stops it, and a file-size limit is a write error.
TEST(Smoke, FaultsOfTheRealBinaryEndAsTheFaultTestsSay) {
  std::string data = database(1500);
  Outcome expected;
  {
    Prepared clean(data);
    announce_earlier(clean.site);
    ASSERT_EQ(0, clean.site.run(kUpdateArgs).status);
    expected = outcome(clean.site);
  }
  struct Case {
    const char* name;
    const char* path;
    const char* injection;  // nullptr: a file-size limit instead
    int status;
    bool recovered;  // by the next run
  } cases[] = {
      {"write error", "data/wp/wp.sys", "inject=write:error=ENOSPC:when=1", 1, false},
      {"kill while rewriting", "data/wp/wp.sys", "inject=write:signal=KILL:when=1", 128 + SIGKILL, true},
      {"journal unreadable", "data/wp/kestol.lck", "inject=pread64:error=EIO:when=1", 0, false},
      {"file-size limit on mess.wp", nullptr, nullptr, 1, false},
  };
  for (const Case& c : cases) {
    if (c.path != nullptr && fault_injection_unavailable() != nullptr) continue;
    Prepared p(data);
    announce_earlier(p.site);
    RunSettings settings;
    if (c.path != nullptr) {
      settings = failing(p.site, c.path, "", "", "");
      settings.prefix.back() = c.injection;
    } else {
      settings.file_size_limit = 400000;  // above the database, just above mess.wp
      p.site.write("data/wp/mess.wp", std::string(399950, 'm'));
    }
    bool unreadable = std::strcmp(c.name, "journal unreadable") == 0;
    if (unreadable) {
      p.site.write("data/wp/kestol.lck", "rewriting");
      chmod(p.site.path("data/wp/kestol.lck").c_str(), 0600);
    }
    Outcome before = outcome(p.site);
    RunResult r = p.site.run(kUpdateArgs, settings);
    if (unreadable) {
      EXPECT_EQ(4, r.status) << c.name;
      EXPECT_TRUE(outcome(p.site) == before) << c.name;
      continue;
    }
    EXPECT_EQ(c.status, r.status) << c.name << "\n" << r.err;
    if (!c.recovered) {
      EXPECT_TRUE(outcome(p.site) == before) << c.name;  // undone
      EXPECT_EQ("", p.site.read("data/wp/kestol.lck")) << c.name;
      continue;
    }
    RunResult next = p.site.run(kUpdateArgs);
    EXPECT_EQ(0, next.status) << c.name << "\n" << next.err;
    EXPECT_NE(std::string::npos, next.err.find(kRecoveredNew)) << c.name;
    EXPECT_TRUE(outcome(p.site) == expected) << c.name;
  }
}
