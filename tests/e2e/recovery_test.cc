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

// A run that cannot trust the backup stops before it touches anything:
// restoring a backup that is not the one copied could lose later changes.
// kestol --recover then restores it, or keeps the database as it is when
// there is none. (Journals that cannot be read are in the fault tests.)
TEST(Recovery, StopsWithoutTheBackupTheRunMadeUntilRecovered) {
  const std::string cannot_restore = "Cannot restore 'data/wp/wp.sys' from 'data/wp/wp.new'\n";
  struct Case {
    const char* name;
    const char* backup;  // wp.new when the next run comes; nullptr: none
    std::string message;
    std::string recovered;  // what --recover says
    const char* database;   // wp.sys after it
  } cases[] = {
      {"backup gone", nullptr,
       cannot_restore +
           "Interrupted run: 'data/wp/wp.new' is gone; put the database as it was before that run back "
           "there and run kestol --recover, or run kestol --recover to keep 'data/wp/wp.sys' as that run "
           "left it\n",
       "'data/wp/wp.sys' was kept as the interrupted run left it: 'data/wp/wp.new' is gone; it may hold "
       "records twice\n",
       "half"},
      {"backup changed since it was copied", "a backup cut short",
       cannot_restore +
           "Interrupted run: 'data/wp/wp.new' is not the backup it made; if it holds the database as it "
           "was before that run, run kestol --recover\n",
       "'data/wp/wp.sys' restored from 'data/wp/wp.new'\n", "a backup cut short"},
  };
  for (const Case& c : cases) {
    Prepared p("half");
    p.site.write("data/wp/wp.new", "a backup as copied");
    write_interrupted_journal(p.site);
    std::filesystem::remove(p.site.path("data/wp/wp.new"));
    if (c.backup != nullptr) p.site.write("data/wp/wp.new", c.backup);
    auto before = p.site.files();
    RunResult r = p.site.run({});
    EXPECT_EQ(2, r.status) << c.name;
    EXPECT_EQ(std::string(kSettings) + c.message, r.err) << c.name;
    before.erase("data/wp/mess.wp");  // made before the journal is read
    auto after = p.site.files();
    after.erase("data/wp/mess.wp");
    EXPECT_EQ(before, after) << c.name;  // the journal included
    RunResult recovered = p.site.run({"--recover"});
    EXPECT_EQ(0, recovered.status) << c.name << "\n" << recovered.err;
    EXPECT_EQ("\nKestol V 7.00b\n\n" + c.recovered, recovered.err) << c.name;
    EXPECT_EQ(c.database, p.site.read("data/wp/wp.sys")) << c.name;
    EXPECT_EQ("", p.site.read("data/wp/kestol.lck")) << c.name;
  }
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
// stops it, and a file-size limit is a write error: on mess.wp, where the
// commit appends, the database is committed and the next run completes
// the announcements.
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
      {"file-size limit on mess.wp", nullptr, nullptr, 1, true},
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
    // The announcements follow what mess.wp held before the run.
    Outcome after = expected;
    after.messages = before.messages + expected.messages.substr(expected.messages.find('\n') + 1);
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
    EXPECT_NE(std::string::npos, next.err.find(c.path != nullptr ? kRecoveredNew : "after its commit"))
        << c.name;
    EXPECT_TRUE(outcome(p.site) == after) << c.name;
  }
}
