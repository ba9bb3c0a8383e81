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

const char* const kSettings =
    "\nKestol V 7.00b\n\nUpdating white pages database    \n  Update time is 40 days\n"
    "  Delete time is 90 days\n\n";
const char* const kSaves = "126-12-08 - Saves WP.SYS file into WP.OLD file    \n\n";
const char* const kRecovered =
    "Previous run was interrupted: 'data/wp/wp.sys' restored from 'data/wp/wp.old'\n";

// A database where a run drops, promotes and keeps records, so that its
// result differs from its input.
std::string database(int n) {
  std::vector<WpRecord> records;
  for (int i = 0; i < n; ++i) {
    std::int32_t seen = i % 7 == 0 ? 0 : kFrozenNow;  // every seventh expired
    WpRecord r =
        make_record(distinct_callsign(i).c_str(), "QQ1AA.QQ.EU", seen, i % 3 == 0 ? 1000 : kFrozenNow);
    std::snprintf(r.temp_zip, sizeof r.temp_zip, "%05d", i % 100000);
    r.update_kind = i % 13 == 0 ? 0 : "UGIX"[i % 4];
    records.push_back(r);
  }
  return records_bytes(records);
}

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
TEST(Recovery, StopsWithoutAWholeBackupOrAReadableJournal) {
  const std::string cannot_restore = "Cannot restore 'data/wp/wp.sys' from 'data/wp/wp.old'\n";
  struct Case {
    const char* name;
    const char* backup;  // nullptr: none
    bool journal_names_backup;
    RunSettings (*settings)(const Site&);
    int status;
    std::string message;
    int recover_status;    // of kestol --recover then
    const char* database;  // wp.sys after it
  } cases[] = {
      {"no backup to restore from", nullptr, false, nullptr, 2,
       cannot_restore +
           "Interrupted run: 'data/wp/wp.old' is gone; put the database as it was before that run back "
           "there and run kestol --recover, or run kestol --recover to keep 'data/wp/wp.sys' as that run "
           "left "
           "it\n",
       0, "half"},
      {"backup changed since it was copied", "a backup cut short", true, nullptr, 2,
       cannot_restore +
           "Interrupted run: 'data/wp/wp.old' is not the backup it made; if it holds the database as it "
           "was before that run, run kestol --recover\n",
       0, "a backup cut short"},
      {"journal cannot be read", "old", false,
       [](const Site& s) { return failing(s, "data/wp/kestol.lck", "pread64", "EIO", "1"); }, 4,
       "Error while reading file 'data/wp/kestol.lck'\n", 4, "half"},
  };
  for (const Case& c : cases) {
    if (c.settings != nullptr && fault_injection_unavailable() != nullptr) continue;
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
    RunResult r = p.site.run({}, c.settings != nullptr ? c.settings(p.site) : RunSettings{});
    EXPECT_EQ(c.status, r.status) << c.name;
    EXPECT_EQ(std::string(kSettings) + c.message, r.err) << c.name;
    EXPECT_EQ(before, p.site.files()) << c.name;  // the mark included
    RunResult recovered =
        p.site.run({"--recover"}, c.settings != nullptr ? c.settings(p.site) : RunSettings{});
    EXPECT_EQ(c.recover_status, recovered.status) << c.name << "\n" << recovered.err;
    EXPECT_EQ(c.database, p.site.read("data/wp/wp.sys")) << c.name;
    EXPECT_EQ(c.recover_status == 0, p.site.read("data/wp/kestol.lck").empty()) << c.name;
  }
}

// An undo that fails half-way keeps the mark, so that the next run does
// it again: a restore that cannot copy, or a cut-back of mess.wp that
// fails after the run has written and synced it.
TEST(Recovery, AnUndoThatFailsIsDoneAgainByTheNextRun) {
  if (const char* why = fault_injection_unavailable()) GTEST_SKIP() << why;
  struct Case {
    const char* name;
    std::vector<std::string> paths;  // the calls counted are those on these files
    std::vector<std::string> faults;
    std::string message;
  } cases[] = {
      // Every write to the database fails, and so does the restore's copy,
      // the third kernel copy on it after the two of the backup copy.
      {"restore cannot copy",
       {"wp.sys"},
       {"inject=write:error=ENOSPC:when=1+", "inject=copy_file_range:error=EIO:when=3+"},
       "Error while writting file 'data/wp/wp.sys'\nCannot restore 'data/wp/wp.sys' from 'data/wp/wp.old'\n"},
      // The commit syncs mess.wp, then the database, which fails; the
      // undo's cut of mess.wp comes after the commit's of the database.
      {"cut-back of mess.wp fails",
       {"wp.sys", "mess.wp"},
       {"inject=fsync:error=EIO:when=2", "inject=ftruncate:error=EIO:when=2"},
       "Error while writting file 'data/wp/wp.sys'\nError while writting file 'data/wp/mess.wp'\n"},
  };
  std::string data = database(2000);
  std::string expected_messages;
  {
    Prepared clean(data);
    clean.site.write("data/wp/mess.wp", "earlier line\n");
    ASSERT_EQ(0, clean.site.run({}).status);
    expected_messages = clean.site.read("data/wp/mess.wp");
  }
  for (const Case& c : cases) {
    Prepared p(data);
    p.site.write("data/wp/mess.wp", "earlier line\n");
    RunSettings settings;
    settings.prefix = {"strace", "-f", "-o", "/dev/null"};
    for (const std::string& name : c.paths) {
      settings.prefix.insert(settings.prefix.end(), {"-P", name, "-P", "data/wp/" + name});
    }
    for (const std::string& fault : c.faults) settings.prefix.insert(settings.prefix.end(), {"-e", fault});
    RunResult r = p.site.run({}, settings);
    EXPECT_EQ(1, r.status) << c.name;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.name << "\n" << r.err;
    EXPECT_EQ(data, p.site.read("data/wp/wp.old")) << c.name;
    // The journal names the backup as copied, then the appended files.
    std::string journal = p.site.read("data/wp/kestol.lck");
    EXPECT_EQ(0u, journal.find("rewriting 2\ncopy ")) << c.name << journal;
    EXPECT_NE(std::string::npos, journal.find("\nfile ")) << c.name << journal;
    RunResult next = p.site.run({});
    EXPECT_EQ(0, next.status) << c.name << "\n" << next.err;
    EXPECT_NE(std::string::npos, next.err.find(kRecovered)) << c.name;
    EXPECT_TRUE(same_bytes(clean_result(data), p.site.read("data/wp/wp.sys"))) << c.name;
    EXPECT_TRUE(same_bytes(expected_messages, p.site.read("data/wp/mess.wp"))) << c.name;
  }
}

namespace {

// The arguments of the runs below: an update file, named last so that it
// is not upper-cased.
const std::vector<std::string> kUpdateArgs = {"40", "90", "updates.wp", "/NOC"};

// What a run leaves in the three files it writes.
struct Outcome {
  std::string database, messages, updates;
};

Outcome outcome(const Site& site) {
  return {site.read("data/wp/wp.sys"), site.read("data/wp/mess.wp"),
          site.exists("updates.wp") ? site.read("updates.wp") : "(none)"};
}

// A site whose mess.wp and update file already hold earlier announcements.
struct Announced : Prepared {
  explicit Announced(const std::string& bytes) : Prepared(bytes) {
    site.write("data/wp/mess.wp", "On 1261201 QA1BC/U @ QQ1AA.QQ.EU zip 75001 Ann Nowhere\n");
    site.write("updates.wp", std::string(kRecordSize, 'e'));
  }
};

}  // namespace

namespace {

// Copies the whole of from into to, as cp -a does or, without times, as a
// copy made an hour later that stamps every file with its own time.
void copy_site(const Site& from, const Site& to, bool with_times) {
  std::string command = "cp -a " + from.root() + "/. " + to.root() + "/";
  if (!with_times) command += " && find " + to.root() + " -type f -exec touch -d '+1 hour' {} +";
  ASSERT_EQ(0, std::system(command.c_str()));
}

}  // namespace

// A run killed at its commit leaves a journal that the next run undoes
// wherever the site has gone: copied with its times to another file
// system (new device numbers and inodes, as after a reboot onto another
// device or a restore), or reached from another working directory through
// an absolute base. Where it cannot tell that a file is the one the run
// made or appended to, it stops, says why and what to run, and kestol
// --recover then does it; the next run ends as one uninterrupted run
// would have, but for what --recover could not cut back.
TEST(Recovery, AJournalAppliesWhereverTheSiteGoes) {
  if (const char* why = fault_injection_unavailable()) GTEST_SKIP() << why;
  std::string data = database(1500);
  const std::string earlier = "On 1261201 QA1BC/U @ QQ1AA.QQ.EU zip 75001 Ann Nowhere\n";
  Outcome expected;
  {
    Announced clean(data);
    ASSERT_EQ(0, clean.site.run(kUpdateArgs).status);
    expected = outcome(clean.site);
  }
  const std::string new_lines = expected.messages.substr(earlier.size());
  const std::string gone =
      "Interrupted run: 'data/wp/mess.wp' cannot be found to take back what it appended; run kestol "
      "--recover to restore 'data/wp/wp.sys' and keep the file as it is\n";
  const std::string replaced =
      "Interrupted run: 'data/wp/mess.wp' is not the file it appended to; run kestol --recover to restore "
      "'data/wp/wp.sys' and keep the file as it is\n";
  const std::string untimed =
      "Cannot restore 'data/wp/wp.sys' from 'data/wp/wp.old'\nInterrupted run: 'data/wp/wp.old' is not the "
      "backup it made; if it holds the database as it was before that run, run kestol --recover\n";
  enum Move { stay, copy_with_times, copy_without_times, elsewhere, messages_gone, messages_replaced };
  struct Case {
    const char* name;
    Move move;
    std::string refusal;   // empty: the next run recovers by itself
    std::string messages;  // mess.wp after --recover and the next run
  } cases[] = {
      {"in place", stay, "", expected.messages},
      {"copied with cp -a to another file system", copy_with_times, "", expected.messages},
      {"run from another folder by an absolute base", elsewhere, "", expected.messages},
      // mess.wp and the update file are known by their bytes: cut back.
      {"copied without times", copy_without_times, untimed, expected.messages},
      {"mess.wp gone", messages_gone, gone, new_lines},
      {"mess.wp replaced", messages_replaced, replaced, "another file\n" + new_lines},
  };
  const std::string base_link = "/tmp/kestol-e2e-base-" + std::to_string(getpid());
  for (const Case& c : cases) {
    Announced p(data);
    RunSettings kill_at_commit = failing(p.site, "data/wp/wp.sys", "ftruncate", "", "1");
    kill_at_commit.prefix.back() = "inject=ftruncate:signal=KILL:when=1";
    ASSERT_EQ(128 + SIGKILL, p.site.run(kUpdateArgs, kill_at_commit).status) << c.name;
    Site copy(c.move == copy_with_times || c.move == copy_without_times ? "/dev/shm" : default_parent());
    const Site* site = &p.site;   // where the files are
    const Site* where = &p.site;  // the working directory of the next runs
    switch (c.move) {
      case copy_with_times:
      case copy_without_times:
        copy_site(p.site, copy, c.move == copy_with_times);
        site = where = &copy;
        break;
      case elsewhere:
        // init.srv's base is lower-cased: an absolute name without capitals.
        std::filesystem::create_directory_symlink(p.site.path("data"), base_link);
        copy.write_init(base_link + "/");
        where = &copy;
        break;
      case messages_gone:
        std::filesystem::remove(p.site.path("data/wp/mess.wp"));
        break;
      case messages_replaced:
        p.site.write("data/wp/mess.wp", "another file\n");
        break;
      case stay:
        break;
    }
    std::vector<std::string> args = kUpdateArgs;
    if (c.move == elsewhere) args[2] = p.site.path("updates.wp");
    if (!c.refusal.empty()) {
      auto before = site->files();
      RunResult refused = where->run(args);
      EXPECT_EQ(2, refused.status) << c.name;
      EXPECT_EQ(std::string(kSettings) + c.refusal, refused.err) << c.name;
      EXPECT_TRUE(before == site->files()) << c.name << ": the refusal changed files";
      RunResult recovered = where->run({"--recover"});
      EXPECT_EQ(0, recovered.status) << c.name << "\n" << recovered.err;
      EXPECT_NE(std::string::npos, recovered.err.find("'data/wp/wp.sys' restored from 'data/wp/wp.old'\n"))
          << c.name << "\n"
          << recovered.err;
    }
    RunResult next = where->run(args);
    EXPECT_EQ(0, next.status) << c.name << "\n" << next.err;
    EXPECT_EQ(c.refusal.empty(), next.err.find("Previous run was interrupted: ") != std::string::npos)
        << c.name;
    Outcome now = outcome(*site);
    EXPECT_TRUE(same_bytes(expected.database, now.database)) << c.name;
    EXPECT_TRUE(same_bytes(c.messages, now.messages)) << c.name;
    EXPECT_TRUE(same_bytes(expected.updates, now.updates)) << c.name;
    std::filesystem::remove(base_link);
  }
}

namespace {

// The journal of a run killed at its commit, rewritten as a run before
// this format wrote it: the backup and each appended file by device, inode
// and length, with the paths the run opened them by (from the working
// directory).
std::string older_journal(const Site& site, const std::string& messages_path,
                          const std::string& update_path) {
  std::string journal = site.read("data/wp/kestol.lck");
  journal = journal.substr(0, journal.find("\nwrote "));  // the file lines come first
  std::vector<long long> lengths;
  for (std::size_t at = journal.find("\nfile "); at != std::string::npos;
       at = journal.find("\nfile ", at + 1)) {
    lengths.push_back(std::stoll(journal.substr(at + 6)));
  }
  auto id = [&](const std::string& path) {
    struct stat st;
    if (stat(site.path(path).c_str(), &st) != 0) return std::string("0 0");
    return std::to_string(st.st_dev) + " " + std::to_string(st.st_ino);
  };
  std::string old =
      "rewriting\nbackup " + id("data/wp/wp.old") + " " + std::to_string(site.read("data/wp/wp.old").size());
  const std::string paths[] = {messages_path, update_path};
  for (std::size_t i = 0; i < lengths.size() && i < 2; ++i) {
    old += "\nappend " + id(paths[i]) + " " + std::to_string(lengths[i]) + " " +
           std::to_string(paths[i].size()) + " " + paths[i];
  }
  return old;
}

}  // namespace

// An interrupted run is undone exactly, and nothing but what it appended
// is cut: through the links an older run's journal named its files by,
// after the site moved away from an update file that stayed where the
// operator named it, and with a line appended to mess.wp since.
TEST(Recovery, UndoesTheInterruptedRunExactlyAndNothingElse) {
  if (const char* why = fault_injection_unavailable()) GTEST_SKIP() << why;
  const std::string data = database(1500);
  const std::string earlier = "On 1261201 QA1BC/U @ QQ1AA.QQ.EU zip 75001 Ann Nowhere\n";
  const std::string since = "On 1261208 QZ9ZZ/U @ QQ1AA.QQ.EU zip 00000 Written since\n";
  enum Kind { older_format, site_moved, appended_since };
  struct Case {
    const char* name;
    const char* base;
    const char* update_file;  // in the site; nullptr: in a folder outside it
    Kind kind;
  } cases[] = {
      {"older journal, base through a link", "bbs/", "updates.wp", older_format},
      {"older journal, update file through a linked folder", "data/", "linked/updates.wp", older_format},
      {"site moved to another file system, update file left where it was named", "data/", nullptr,
       site_moved},
      {"line appended to mess.wp since", "data/", "updates.wp", appended_since},
  };
  for (const Case& c : cases) {
    Site outside;  // the folder of an update file outside the site
    auto prepare = [&](const Site& s) {
      s.write_init(c.base);
      s.write("data/wp/wp.sys", data);
      s.write("data/wp/mess.wp", earlier);
      std::filesystem::create_directory_symlink("data", s.path("bbs"));
      std::filesystem::create_directory(s.path("real"));
      std::filesystem::create_directory_symlink("real", s.path("linked"));
      std::string update = c.update_file != nullptr ? s.path(c.update_file) : outside.path("updates.wp");
      std::ofstream(update, std::ios::binary) << std::string(kRecordSize, 'e');
      return std::vector<std::string>{"40", "90", c.update_file != nullptr ? c.update_file : update, "/NOC"};
    };
    auto update_bytes = [&](const Site& s) {
      return c.update_file != nullptr ? s.read(c.update_file) : outside.read("updates.wp");
    };
    Outcome expected;
    {
      Site clean;
      std::vector<std::string> args = prepare(clean);
      ASSERT_EQ(0, clean.run(args).status) << c.name;
      expected = {clean.read("data/wp/wp.sys"), clean.read("data/wp/mess.wp"), update_bytes(clean)};
    }
    Site p;
    std::vector<std::string> args = prepare(p);
    RunSettings kill_at_commit = failing(p, "data/wp/wp.sys", "ftruncate", "", "1");
    kill_at_commit.prefix.back() = "inject=ftruncate:signal=KILL:when=1";
    ASSERT_EQ(128 + SIGKILL, p.run(args, kill_at_commit).status) << c.name;
    Site copy("/dev/shm");
    const Site* where = &p;
    switch (c.kind) {
      case older_format:
        p.write("data/wp/kestol.lck", older_journal(p, std::string(c.base) + "wp/mess.wp", c.update_file));
        break;
      case site_moved:
        copy_site(p, copy, true);
        std::filesystem::remove_all(p.path("data"));
        where = &copy;
        break;
      case appended_since:
        std::ofstream(p.path("data/wp/mess.wp"), std::ios::app) << since;
        break;
    }
    RunResult next = where->run(args);
    std::string told = next.err;
    if (next.status != 0) {
      where->run({"--recover"});
      next = where->run(args);
    }
    EXPECT_EQ(0, next.status) << c.name << "\n" << next.err;
    if (c.kind == appended_since) {
      EXPECT_NE(std::string::npos, where->read("data/wp/mess.wp").find(since)) << c.name << ": cut\n" << told;
      continue;
    }
    EXPECT_TRUE(same_bytes(expected.database, where->read("data/wp/wp.sys"))) << c.name;
    EXPECT_TRUE(same_bytes(expected.messages, where->read("data/wp/mess.wp"))) << c.name << "\n" << told;
    EXPECT_TRUE(same_bytes(expected.updates, update_bytes(*where))) << c.name << "\n" << told;
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

// Fail, or kill the run at, the nth call for n = 1, 2, ... past the last
// such call of a run, on every file a run writes. After each, the
// database is whole or the journal says how to make it so, and the next
// run under the same frozen clock leaves the database, mess.wp and the
// update file exactly as one uninterrupted run would have: every
// announcement made once.
TEST(Recovery, EveryFailureAndCrashPointIsUndoneOrCompletedExactlyOnce) {
  if (const char* why = fault_injection_unavailable()) GTEST_SKIP() << why;
  std::string data = database(1500);  // 291 KB: two blocks, and several writes of each appended file
  Outcome expected;
  {
    Announced clean(data);
    ASSERT_EQ(0, clean.site.run(kUpdateArgs).status);
    expected = outcome(clean.site);
  }
  struct Case {
    const char* path;
    const char* call;
    const char* action;
    int calls;  // at least as many such calls as a run makes
  } cases[] = {
      {"data/wp/wp.old", "copy_file_range", "error=ENOSPC", 2},
      {"data/wp/wp.old", "read", "error=EIO", 3},
      {"data/wp/wp.old", "read", "signal=KILL", 3},
      {"data/wp/wp.old", "fsync", "signal=KILL", 2},
      {"data/wp/wp.sys", "write", "error=ENOSPC", 2},
      {"data/wp/wp.sys", "write", "signal=KILL", 2},
      {"data/wp/wp.sys", "ftruncate", "signal=KILL", 2},
      {"data/wp/wp.sys", "fsync", "error=EIO", 1},
      {"data/wp/wp.sys", "fsync", "signal=KILL", 2},
      {"data/wp/wp.sys", "close", "error=EIO", 2},
      {"data/wp/wp.sys", "openat", "error=EACCES", 2},
      {"data/wp/mess.wp", "write", "error=ENOSPC", 2},
      {"data/wp/mess.wp", "write", "signal=KILL", 2},
      {"data/wp/mess.wp", "fsync", "error=EIO", 1},
      {"data/wp/mess.wp", "fsync", "signal=KILL", 1},
      {"updates.wp", "write", "error=ENOSPC", 5},
      {"updates.wp", "write", "signal=KILL", 5},
      {"updates.wp", "fsync", "error=EIO", 1},
      {"updates.wp", "fsync", "signal=KILL", 1},
      {"data/wp/kestol.lck", "pwrite64", "error=ENOSPC", 1},
      {"data/wp/kestol.lck", "pwrite64", "signal=KILL", 1},
      {"data/wp/kestol.lck", "ftruncate", "error=EIO", 2},
      {"data/wp/kestol.lck", "ftruncate", "signal=KILL", 2},
      {"data/wp/kestol.lck", "fsync", "error=EIO", 2},
      {"data/wp/kestol.lck", "fsync", "signal=KILL", 2},
  };
  for (const Case& c : cases) {
    int failed = 0;
    for (int n = 1; n <= c.calls + 1; ++n) {
      Announced p(data);
      std::string label = std::string(c.path) + " " + c.call + " " + c.action + " #" + std::to_string(n);
      RunSettings settings = failing(p.site, c.path, c.call, "", std::to_string(n));
      settings.prefix.back() =
          "inject=" + std::string(c.call) + ":" + c.action + ":when=" + std::to_string(n);
      RunResult r = p.site.run(kUpdateArgs, settings);
      if (r.status != 0) {
        ++failed;
        // Nothing lost: the database is as it was, or the journal is set
        // and the backup is whole, or the run was committed in full.
        bool marked = p.site.read("data/wp/kestol.lck").compare(0, 9, "rewriting") == 0;
        bool whole = p.site.read("data/wp/wp.sys") == data;
        bool recoverable = marked && p.site.read("data/wp/wp.old") == data;
        Outcome now = outcome(p.site);
        bool committed = now.database == expected.database && now.messages == expected.messages &&
                         now.updates == expected.updates;
        EXPECT_TRUE(whole || recoverable || committed) << label << "\n" << r.err;
      }
      RunResult next = p.site.run(kUpdateArgs);
      EXPECT_EQ(0, next.status) << label << "\n" << next.err;
      Outcome now = outcome(p.site);
      EXPECT_TRUE(same_bytes(expected.database, now.database)) << label;
      EXPECT_TRUE(same_bytes(expected.messages, now.messages)) << label;
      EXPECT_TRUE(same_bytes(expected.updates, now.updates)) << label;
    }
    EXPECT_GT(failed, 0) << c.path << " " << c.call << " " << c.action << ": no run failed";
  }
}

// Kill runs at random moments; the database or its backup always holds the
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
  for (int i = 0; i < 60; ++i) {
    Prepared p(data);
    pid_t pid = p.site.start({});
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    kill(pid, SIGKILL);
    RunResult r = p.site.wait_run(pid);
    if (r.status == 128 + SIGKILL) ++killed;
    bool database_whole = p.site.read("data/wp/wp.sys") == data;
    bool backup_whole = p.site.exists("data/wp/wp.old") && p.site.read("data/wp/wp.old") == data;
    bool finished = p.site.read("data/wp/wp.sys") == expected;
    EXPECT_TRUE(database_whole || backup_whole || finished) << "kill " << i;
    RunResult next = p.site.run({});
    EXPECT_EQ(0, next.status) << "kill " << i << "\n" << next.err;
    if (next.err.find(kRecovered) != std::string::npos) ++recovered;
    EXPECT_TRUE(same_bytes(expected, p.site.read("data/wp/wp.sys"))) << "kill " << i;
  }
  std::printf("[ killed %d of 60 runs, %d recovered from the backup; a whole run took %ld us ]\n", killed,
              recovered, static_cast<long>(whole.count()));
}

// Stop signals: before the journal is set they end the run with nothing
// touched, while it is set they undo the run, once it is cleared the run
// completes; the process ends by the same signal, so its caller sees how
// it ended. A file-size limit shows as a write error, undone likewise.
TEST(Signals, UndoTheRunAndEndByTheSameSignal) {
  if (const char* why = fault_injection_unavailable()) GTEST_SKIP() << why;
  std::string data = database(1500);
  Outcome expected;
  {
    Announced clean(data);
    ASSERT_EQ(0, clean.site.run(kUpdateArgs).status);
    expected = outcome(clean.site);
  }
  enum End { untouched, undone, completed };
  struct Case {
    const char* name;
    const char* path;
    const char* call;
    const char* nth;
    const char* signal;  // nullptr: a file-size limit instead
    int status;
    End end;
  } cases[] = {
      {"TERM during the backup copy", "data/wp/wp.old", "copy_file_range", "1", "TERM", 128 + SIGTERM,
       untouched},
      {"INT while rewriting", "data/wp/wp.sys", "write", "1", "INT", 128 + SIGINT, undone},
      {"HUP while announcing", "updates.wp", "write", "2", "HUP", 128 + SIGHUP, undone},
      {"TERM while committing", "data/wp/mess.wp", "fsync", "1", "TERM", 128 + SIGTERM, undone},
      {"TERM after the commit", "data/wp/kestol.lck", "ftruncate", "2", "TERM", 0, completed},
      {"HUP under nohup", "data/wp/wp.sys", "write", "1", "HUP", 0, completed},
      {"file-size limit on mess.wp", nullptr, nullptr, nullptr, nullptr, 1, undone},
  };
  for (const Case& c : cases) {
    Announced p(data);
    RunSettings settings;
    if (c.signal != nullptr) {
      settings = failing(p.site, c.path, c.call, "", c.nth);
      settings.prefix.back() = std::string("inject=") + c.call + ":signal=" + c.signal + ":when=" + c.nth;
      settings.ignore_hangup = std::strstr(c.name, "nohup") != nullptr;
    } else {
      settings.file_size_limit = 400000;  // above the database, just above mess.wp
      p.site.write("data/wp/mess.wp", std::string(399950, 'm'));
    }
    Outcome before = outcome(p.site);
    RunResult r = p.site.run(kUpdateArgs, settings);
    EXPECT_EQ(c.status, r.status) << c.name << "\n" << r.err;
    Outcome now = outcome(p.site);
    if (c.end == completed) {
      EXPECT_TRUE(same_bytes(expected.database, now.database)) << c.name;
      EXPECT_TRUE(same_bytes(expected.messages, now.messages)) << c.name;
      EXPECT_TRUE(same_bytes(expected.updates, now.updates)) << c.name;
    } else {
      EXPECT_TRUE(same_bytes(before.database, now.database)) << c.name;
      EXPECT_TRUE(same_bytes(before.messages, now.messages)) << c.name;
      EXPECT_TRUE(same_bytes(before.updates, now.updates)) << c.name;
    }
    EXPECT_EQ(c.end != untouched, p.site.exists("data/wp/wp.old")) << c.name;
    EXPECT_EQ("", p.site.read("data/wp/kestol.lck")) << c.name;
    if (c.signal == nullptr) {
      EXPECT_NE(std::string::npos, r.err.find("Error while writting file 'data/wp/mess.wp'\n")) << r.err;
    }
  }
}

namespace {

// One system call of a trace taken with strace -y: its name, the file it
// acts on (behind its descriptor, or the one openat answered), and whether
// it writes that file or cuts it.
struct TracedCall {
  std::string name;
  std::string path;
  bool touches = false;
};

// The path strace shows behind a descriptor, as in "6</site/data/wp/wp.sys>".
std::string path_behind(const std::string& text) {
  std::size_t open = text.find('<');
  std::size_t close = text.rfind('>');
  return open == std::string::npos || close == std::string::npos || close < open
             ? ""
             : text.substr(open + 1, close - open - 1);
}

std::vector<TracedCall> read_trace(const std::string& trace) {
  std::vector<TracedCall> calls;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    std::size_t paren = line.find('(');
    std::size_t space = line.rfind(' ', paren);
    if (paren == std::string::npos || line.find(") = ") == std::string::npos) continue;
    TracedCall call;
    call.name = line.substr(space == std::string::npos ? 0 : space + 1, paren - space - 1);
    std::string args = line.substr(paren + 1, line.rfind(") = ") - paren - 1);
    std::string result = line.substr(line.rfind(") = ") + 4);
    std::vector<std::string> arg;
    for (std::size_t from = 0, at; from <= args.size(); from = at + 2) {
      at = args.find(", ", from);
      if (at == std::string::npos) at = args.size();
      arg.push_back(args.substr(from, at - from));
    }
    if (call.name == "openat") {
      call.path = path_behind(result);
      call.touches = arg.size() > 2 && arg[2].find("O_TRUNC") != std::string::npos;
    } else if (call.name == "copy_file_range") {
      call.path = arg.size() > 2 ? path_behind(arg[2]) : "";  // the file written
      call.touches = true;
    } else {
      call.path = path_behind(arg[0]);
      call.touches = call.name != "fsync";
    }
    if (result.compare(0, 2, "-1") != 0) calls.push_back(call);
  }
  return calls;
}

// Index of the first call from `from` on that touches one of paths, or the
// number of calls.
std::size_t next_touch(const std::vector<TracedCall>& calls, std::size_t from,
                       const std::vector<std::string>& paths) {
  for (std::size_t i = from; i < calls.size(); ++i) {
    if (!calls[i].touches) continue;
    for (const std::string& p : paths) {
      if (calls[i].path == p) return i;
    }
  }
  return calls.size();
}

// Index of the last call before `to` that touches path, or the number of calls.
std::size_t last_touch_before(const std::vector<TracedCall>& calls, std::size_t to, const std::string& path) {
  for (std::size_t i = to; i-- > 0;) {
    if (calls[i].touches && calls[i].path == path) return i;
  }
  return calls.size();
}

bool synced_between(const std::vector<TracedCall>& calls, std::size_t after, std::size_t before,
                    const std::string& path) {
  for (std::size_t i = after + 1; i < before && i < calls.size(); ++i) {
    if (calls[i].name == "fsync" && calls[i].path == path) return true;
  }
  return false;
}

}  // namespace

// The order of a run's system calls, whatever calls it writes with: the
// database restored after an interrupted run is synced with its folder
// before the mark or the backup is touched again, and the new backup is
// synced with its folder before the database is touched.
TEST(Durability, FilesAndFoldersAreSyncedBeforeTheNextStep) {
  if (const char* why = fault_injection_unavailable()) GTEST_SKIP() << why;
  std::string data = database(300);
  Prepared p(data.substr(0, 5 * kRecordSize));  // a half-written database
  p.site.write("data/wp/wp.old", data);
  p.site.write("data/wp/kestol.lck", "rewriting");
  RunSettings traced;
  traced.prefix = {"strace",
                   "-f",
                   "-y",
                   "-o",
                   p.site.path("trace"),
                   "-e",
                   "trace=openat,write,pwrite64,ftruncate,fsync,copy_file_range"};
  RunResult r = p.site.run({}, traced);
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_NE(std::string::npos, r.err.find(kRecovered));
  std::vector<TracedCall> calls = read_trace(p.site.read("trace"));
  std::string folder = std::filesystem::canonical(p.site.path("data/wp")).string();
  std::string database_file = folder + "/wp.sys";
  std::string backup_file = folder + "/wp.old";
  std::string lock_file = folder + "/kestol.lck";

  std::size_t restore = next_touch(calls, 0, {database_file});
  ASSERT_LT(restore, calls.size()) << "no restore";
  std::size_t after_restore = next_touch(calls, restore, {backup_file, lock_file});
  ASSERT_LT(after_restore, calls.size());
  std::size_t restored = last_touch_before(calls, after_restore, database_file);
  EXPECT_TRUE(synced_between(calls, restored, after_restore, database_file));
  EXPECT_TRUE(synced_between(calls, restored, after_restore, folder));

  std::size_t rewrite = next_touch(calls, after_restore, {database_file});
  ASSERT_LT(rewrite, calls.size()) << "no rewrite";
  std::size_t backed_up = last_touch_before(calls, rewrite, backup_file);
  ASSERT_LT(backed_up, rewrite) << "no backup";
  EXPECT_TRUE(synced_between(calls, backed_up, rewrite, backup_file));
  EXPECT_TRUE(synced_between(calls, backed_up, rewrite, folder));
  EXPECT_TRUE(same_bytes(clean_result(data), p.site.read("data/wp/wp.sys")));
}
