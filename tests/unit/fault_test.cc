// Fault and crash points over the system-call table: a run made to fail,
// stop or be killed at call N of each kind on each file, then the next
// run; nothing may be lost or announced twice.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/unit/scripted_calls.h"

namespace {

// A site with init.srv and a database.
struct Prepared {
  Site site;
  std::string data;
  explicit Prepared(const std::string& bytes, bool announced = false) : data(bytes) {
    site.write_init();
    site.write("data/wp/wp.sys", data);
    if (announced) announce_earlier(site);
  }
};

Script one(Call call, const char* file, int nth, Action action, int value = 0, bool onwards = false) {
  Script script;
  script.faults.push_back({call, file, nth, action, value, onwards});
  return script;
}

// What one uninterrupted run makes of data (with earlier announcements and
// the update file when announced).
Outcome clean_outcome(const std::string& data, bool announced) {
  Prepared p(data, announced);
  RunResult r = run_scripted(p.site, announced ? kUpdateArgs : std::vector<std::string>{}, {});
  if (r.status != 0) return {"clean run failed: " + r.err, "", ""};
  return outcome(p.site);
}

std::string label(Call call, const std::string& file, const char* what, int n) {
  return file + " " + call_name(call) + " " + what + " #" + std::to_string(n);
}

}  // namespace

// Fail, or kill the run at, the nth call for n = 1, 2, ... past the last
// such call of a run, on every file a run writes. After each, the
// database is whole or the journal says how to make it so, and the next
// run under the same clock leaves the database, mess.wp and the update
// file exactly as one uninterrupted run would have: every announcement
// made once.
TEST(FaultRun, EveryFailureAndCrashPointIsUndoneOrCompletedExactlyOnce) {
  std::string data = mixed_database(1500);  // 291 KB: two blocks, several writes of each appended file
  Outcome expected = clean_outcome(data, true);
  struct Case {
    Call call;
    const char* file;
    Action action;
    int value;
    int calls;  // at least as many such calls as a run makes
  } cases[] = {
      {Call::copy_file_range, "wp.new", Action::fail, ENOSPC, 2},
      {Call::read, "wp.new", Action::fail, EIO, 3},
      {Call::read, "wp.new", Action::kill, 0, 3},
      {Call::fsync, "wp.new", Action::kill, 0, 2},
      {Call::renameat, "wp.new", Action::kill, 0, 1},  // the rotation
      {Call::write, "wp.sys", Action::fail, ENOSPC, 2},
      {Call::write, "wp.sys", Action::kill, 0, 2},
      {Call::ftruncate, "wp.sys", Action::kill, 0, 2},
      {Call::fsync, "wp.sys", Action::fail, EIO, 1},
      {Call::fsync, "wp.sys", Action::kill, 0, 2},
      {Call::close, "wp.sys", Action::fail, EIO, 2},
      {Call::openat, "wp.sys", Action::fail, EACCES, 2},
      {Call::write, "mess.wp", Action::fail, ENOSPC, 2},
      {Call::write, "mess.wp", Action::kill, 0, 2},
      {Call::fsync, "mess.wp", Action::fail, EIO, 1},
      {Call::fsync, "mess.wp", Action::kill, 0, 1},
      {Call::close, "mess.wp", Action::fail, EIO, 1},
      {Call::write, "updates.wp", Action::fail, ENOSPC, 5},
      {Call::write, "updates.wp", Action::kill, 0, 5},
      {Call::fsync, "updates.wp", Action::fail, EIO, 1},
      {Call::fsync, "updates.wp", Action::kill, 0, 1},
      {Call::pwrite, "kestol.lck", Action::fail, ENOSPC, 4},
      {Call::pwrite, "kestol.lck", Action::kill, 0, 4},
      {Call::ftruncate, "kestol.lck", Action::fail, EIO, 2},
      {Call::ftruncate, "kestol.lck", Action::kill, 0, 2},
      {Call::fsync, "kestol.lck", Action::fail, EIO, 4},
      {Call::fsync, "kestol.lck", Action::kill, 0, 4},
      {Call::fsync, "wp", Action::kill, 0, 2},  // the database's folder
  };
  for (const Case& c : cases) {
    int failed = 0;
    for (int n = 1; n <= c.calls + 1; ++n) {
      Prepared p(data, true);
      std::string what = c.action == Action::kill ? "kill" : std::strerror(c.value);
      std::string at = label(c.call, c.file, what.c_str(), n);
      RunResult r = run_scripted(p.site, kUpdateArgs, one(c.call, c.file, n, c.action, c.value));
      if (r.status != 0) {
        ++failed;
        // Nothing lost: the database is as it was, or the journal is set
        // and the backup is whole, or the run was committed in full.
        bool marked = p.site.read("data/wp/kestol.lck").compare(0, 9, "rewriting") == 0;
        bool whole = p.site.read("data/wp/wp.sys") == data;
        bool recoverable = marked && p.site.exists("data/wp/wp.new") && p.site.read("data/wp/wp.new") == data;
        EXPECT_TRUE(whole || recoverable || outcome(p.site) == expected) << at << "\n" << r.err;
      }
      RunResult next = run_scripted(p.site, kUpdateArgs, {});
      EXPECT_EQ(0, next.status) << at << "\n" << next.err;
      Outcome now = outcome(p.site);
      EXPECT_TRUE(same_bytes(expected.database, now.database)) << at;
      EXPECT_TRUE(same_bytes(expected.messages, now.messages)) << at;
      EXPECT_TRUE(same_bytes(expected.updates, now.updates)) << at;
    }
    EXPECT_GT(failed, 0) << label(c.call, c.file, "", 0) << ": no run failed";
  }
}

// Short counts and interrupted calls are no failures: the run goes on and
// ends as an undisturbed one.
TEST(FaultRun, ShortCountsAndInterruptedCallsChangeNothing) {
  std::string data = mixed_database(1500);
  Outcome expected = clean_outcome(data, true);
  struct Case {
    Call call;
    const char* file;
    Action action;
    int value;
  } cases[] = {
      {Call::write, "wp.sys", Action::shorten, 0},
      {Call::read, "wp.new", Action::shorten, 0},
      {Call::write, "mess.wp", Action::shorten, 0},
      {Call::write, "updates.wp", Action::shorten, 0},
      {Call::pwrite, "kestol.lck", Action::shorten, 0},
      {Call::pread, "kestol.lck", Action::shorten, 0},
      {Call::copy_file_range, "wp.new", Action::shorten, 0},
      {Call::write, "wp.sys", Action::fail, EINTR},
      {Call::read, "wp.new", Action::fail, EINTR},
      {Call::fsync, "wp.sys", Action::fail, EINTR},
      {Call::openat, "mess.wp", Action::fail, EINTR},
      {Call::flock, "kestol.lck", Action::fail, EINTR},
      {Call::copy_file_range, "wp.new", Action::fail, EINTR},
      {Call::close, "wp.sys", Action::fail, EINTR},
      {Call::close, "mess.wp", Action::fail, EINTR},
      {Call::close, "updates.wp", Action::fail, EINTR},
  };
  for (const Case& c : cases) {
    Prepared p(data, true);
    std::string at = label(c.call, c.file, c.action == Action::shorten ? "short" : "EINTR", 1);
    // Short counts on every such call; an interrupted call once (it is
    // retried, and would be for ever).
    RunResult r = run_scripted(p.site, kUpdateArgs,
                               one(c.call, c.file, 1, c.action, c.value, c.action == Action::shorten));
    EXPECT_EQ(0, r.status) << at << "\n" << r.err;
    EXPECT_TRUE(outcome(p.site) == expected) << at;
    EXPECT_EQ("", p.site.read("data/wp/kestol.lck")) << at;
  }
}

namespace {

std::string run_header() { return std::string(kSettings) + kSaves; }

}  // namespace

TEST(FaultRun, OpenAndStreamFailuresEndWithTheirStatus) {
  const std::string write_failed = "Error while writting file 'data/wp/wp.sys'\n";
  std::string progress;
  for (int i = 100; i <= 1000; i += 100) progress += "\rRecord " + std::to_string(i);
  struct Case {
    const char* name;
    int records;
    Call call;
    const char* file;
    int value;
    int nth;
    int status;
    std::string tail;  // standard error after the run header
  } cases[] = {
      {"backup cannot be opened", 3, Call::openat, "wp.new", EACCES, 2, 3,
       "Cannot open 'data/wp/wp.new'     \n"},
      // The first two opens of the database are for its locks and the backup copy.
      {"database cannot be opened", 3, Call::openat, "wp.sys", EACCES, 3, 4,
       "Cannot open 'data/wp/wp.sys'     \n"},
      {"backup read error", 3, Call::read, "wp.new", EIO, 1, 3,
       "Error while reading file 'data/wp/wp.new'\n"},
      // The kept records of a block of 1024 are written once it is reviewed.
      {"write error in the loop", 1500, Call::write, "wp.sys", ENOSPC, 1, 1, progress + write_failed},
      {"write error on the last flush", 3, Call::write, "wp.sys", EIO, 1, 1, write_failed},
      {"fsync error", 3, Call::fsync, "wp.sys", EIO, 1, 1, write_failed},
      // A mark that may not be on disk is taken back: the lock ends empty.
      {"journal cannot be synced", 3, Call::fsync, "kestol.lck", EIO, 1, 4,
       "Error while writting file 'data/wp/kestol.lck'\n"},
      // The first close of the database is the backup copy's, of its source.
      {"close error", 3, Call::close, "wp.sys", EIO, 2, 1, write_failed},
  };
  for (const Case& c : cases) {
    std::vector<WpRecord> records;
    for (int i = 0; i < c.records; ++i) {
      records.push_back(make_record(distinct_callsign(i).c_str(), "QQ1AA.QQ.EU", kFrozenNow, kFrozenNow));
    }
    Prepared p(records_bytes(records));
    RunResult r = run_scripted(p.site, {}, one(c.call, c.file, c.nth, Action::fail, c.value));
    EXPECT_EQ(c.status, r.status) << c.name;
    EXPECT_EQ(run_header() + c.tail, r.err) << c.name;
    EXPECT_EQ("", r.out) << c.name;
    // Whatever failed, the database is whole again and its backup intact.
    EXPECT_TRUE(same_bytes(p.data, p.site.read("data/wp/wp.sys"))) << c.name;
    // and the generations as they were: none, and no backup left over.
    EXPECT_FALSE(p.site.exists("data/wp/wp.old")) << c.name;
    EXPECT_FALSE(p.site.exists("data/wp/wp.new")) << c.name;
    EXPECT_EQ("", p.site.read("data/wp/kestol.lck")) << c.name;
  }
}

// A journal that cannot be read stops the run before it touches anything:
// going on could copy a half-written database over the only backup.
TEST(FaultRun, AJournalThatCannotBeReadStopsTheRun) {
  Prepared p("half");
  p.site.write("data/wp/wp.old", "old");
  p.site.write("data/wp/kestol.lck", "rewriting");
  chmod(p.site.path("data/wp/kestol.lck").c_str(), 0600);
  auto before = p.site.files();
  for (const char* args : {"", "--recover"}) {
    RunResult r =
        run_scripted(p.site, args[0] == '\0' ? std::vector<std::string>{} : std::vector<std::string>{args},
                     one(Call::pread, "kestol.lck", 1, Action::fail, EIO));
    EXPECT_EQ(4, r.status) << args;
    EXPECT_NE(std::string::npos, r.err.find("Error while reading file 'data/wp/kestol.lck'\n")) << args;
    EXPECT_TRUE(before == p.site.files()) << args;  // the mark included
  }
}

// An undo that fails half-way keeps the mark, so that the next run does
// it again: a restore that cannot copy, or a cut-back of mess.wp that
// fails after the run has written and synced it.
TEST(FaultRun, AnUndoThatFailsIsDoneAgainByTheNextRun) {
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    std::string message;
  } cases[] = {
      // Every write to the database fails, and so does the restore's copy,
      // the third kernel copy on it after the two of the backup copy.
      {"restore cannot copy",
       {{Call::write, "wp.sys", 1, Action::fail, ENOSPC, true},
        {Call::copy_file_range, "wp.sys", 3, Action::fail, EIO, true}},
       "Error while writting file 'data/wp/wp.sys'\nCannot restore 'data/wp/wp.sys' from 'data/wp/wp.new'\n"},
      // The commit syncs mess.wp, then the database, which fails; mess.wp
      // is cut back only by an undo.
      {"cut-back of mess.wp fails",
       {{Call::fsync, "wp.sys", 1, Action::fail, EIO}, {Call::ftruncate, "mess.wp", 1, Action::fail, EIO}},
       "Error while writting file 'data/wp/wp.sys'\nError while writting file 'data/wp/mess.wp'\n"},
  };
  std::string data = mixed_database(2000);
  Outcome expected = clean_outcome(data, true);
  for (const Case& c : cases) {
    Prepared p(data, true);
    Script script;
    script.faults = c.faults;
    RunResult r = run_scripted(p.site, kUpdateArgs, script);
    EXPECT_EQ(1, r.status) << c.name;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.name << "\n" << r.err;
    EXPECT_EQ(data, p.site.read("data/wp/wp.new")) << c.name;  // kept for the next run
    // The journal names the backup as copied, then the appended files.
    std::string journal = p.site.read("data/wp/kestol.lck");
    EXPECT_EQ(0u, journal.find("rewriting 2\ncopy ")) << c.name << journal;
    EXPECT_NE(std::string::npos, journal.find("\nfile ")) << c.name << journal;
    RunResult next = run_scripted(p.site, kUpdateArgs, {});
    EXPECT_EQ(0, next.status) << c.name << "\n" << next.err;
    EXPECT_NE(std::string::npos, next.err.find(kRecoveredNew)) << c.name;
    EXPECT_TRUE(outcome(p.site) == expected) << c.name;
  }
}

namespace {

// Kills the run at its commit, when the database is rewritten and the
// announcements are out: its first cut of the database.
Script kill_at_commit() { return one(Call::ftruncate, "wp.sys", 1, Action::kill); }

}  // namespace

// A run killed at its commit leaves a journal that the next run undoes
// wherever the site has gone: copied with its times to another file
// system (new device numbers and inodes, as after a reboot onto another
// device or a restore), or reached from another working directory through
// an absolute base. Where it cannot tell that a file is the one the run
// made or appended to, it stops, says why and what to run, and kestol
// --recover then does it; the next run ends as one uninterrupted run
// would have, but for what --recover could not cut back.
TEST(FaultRun, AJournalAppliesWhereverTheSiteGoes) {
  std::string data = mixed_database(1500);
  const std::string earlier = "On 1261201 QA1BC/U @ QQ1AA.QQ.EU zip 75001 Ann Nowhere\n";
  Outcome expected = clean_outcome(data, true);
  const std::string new_lines = expected.messages.substr(earlier.size());
  const std::string gone =
      "Interrupted run: 'data/wp/mess.wp' cannot be found to take back what it appended; run kestol "
      "--recover to restore 'data/wp/wp.sys' and keep the file as it is\n";
  const std::string replaced =
      "Interrupted run: 'data/wp/mess.wp' is not the file it appended to; run kestol --recover to restore "
      "'data/wp/wp.sys' and keep the file as it is\n";
  const std::string untimed =
      "Cannot restore 'data/wp/wp.sys' from 'data/wp/wp.new'\nInterrupted run: 'data/wp/wp.new' is not the "
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
  const std::string base_link = "/tmp/kestol-unit-base-" + std::to_string(getpid());
  for (const Case& c : cases) {
    Prepared p(data, true);
    ASSERT_EQ(128 + SIGKILL, run_scripted(p.site, kUpdateArgs, kill_at_commit()).status) << c.name;
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
      RunResult refused = run_scripted(*where, args, {});
      EXPECT_EQ(2, refused.status) << c.name;
      EXPECT_EQ(std::string(kSettings) + c.refusal, refused.err) << c.name;
      EXPECT_TRUE(before == site->files()) << c.name << ": the refusal changed files";
      RunResult recovered = run_scripted(*where, {"--recover"}, {});
      EXPECT_EQ(0, recovered.status) << c.name << "\n" << recovered.err;
      EXPECT_NE(std::string::npos, recovered.err.find("'data/wp/wp.sys' restored from 'data/wp/wp.new'\n"))
          << c.name << "\n"
          << recovered.err;
    }
    RunResult next = run_scripted(*where, args, {});
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
TEST(FaultRun, UndoesTheInterruptedRunExactlyAndNothingElse) {
  const std::string data = mixed_database(1500);
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
      ASSERT_EQ(0, run_scripted(clean, args, {}).status) << c.name;
      expected = {clean.read("data/wp/wp.sys"), clean.read("data/wp/mess.wp"), update_bytes(clean)};
    }
    Site p;
    std::vector<std::string> args = prepare(p);
    ASSERT_EQ(128 + SIGKILL, run_scripted(p, args, kill_at_commit()).status) << c.name;
    Site copy("/dev/shm");
    const Site* where = &p;
    switch (c.kind) {
      case older_format:  // whose backup was wp.old
        std::filesystem::rename(p.path("data/wp/wp.new"), p.path("data/wp/wp.old"));
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
    RunResult next = run_scripted(*where, args, {});
    std::string told = next.err;
    if (next.status != 0) {
      run_scripted(*where, {"--recover"}, {});
      next = run_scripted(*where, args, {});
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

// Stop signals: before the journal is set they end the run with nothing
// touched, while it is set they undo the run, once it is cleared the run
// completes; the process ends by the same signal, so its caller sees how
// it ended. A signal the caller ignores stays ignored.
TEST(FaultRun, SignalsUndoTheRunAndEndByTheSameSignal) {
  std::string data = mixed_database(1500);
  Outcome expected = clean_outcome(data, true);
  enum End { untouched, undone, completed };
  struct Case {
    const char* name;
    Call call;
    const char* file;
    int nth;
    int signal;
    int status;
    End end;
  } cases[] = {
      {"TERM during the backup copy", Call::copy_file_range, "wp.new", 1, SIGTERM, 128 + SIGTERM, untouched},
      {"INT while rewriting", Call::write, "wp.sys", 1, SIGINT, 128 + SIGINT, undone},
      {"HUP while announcing", Call::write, "updates.wp", 2, SIGHUP, 128 + SIGHUP, undone},
      {"TERM while committing", Call::fsync, "mess.wp", 1, SIGTERM, 128 + SIGTERM, undone},
      {"TERM after the commit", Call::ftruncate, "kestol.lck", 2, SIGTERM, 0, completed},
      {"HUP under nohup", Call::write, "wp.sys", 1, SIGHUP, 0, completed},
  };
  for (const Case& c : cases) {
    Prepared p(data, true);
    Outcome before = outcome(p.site);
    bool nohup = std::strstr(c.name, "nohup") != nullptr;
    struct sigaction previous;
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    if (nohup) sigaction(SIGHUP, &ignore, &previous);  // inherited by the run's process
    RunResult r = run_scripted(p.site, kUpdateArgs, one(c.call, c.file, c.nth, Action::signal, c.signal));
    if (nohup) sigaction(SIGHUP, &previous, nullptr);
    EXPECT_EQ(c.status, r.status) << c.name << "\n" << r.err;
    EXPECT_TRUE(outcome(p.site) == (c.end == completed ? expected : before)) << c.name;
    EXPECT_EQ(c.end == completed, p.site.exists("data/wp/wp.old")) << c.name;
    EXPECT_FALSE(p.site.exists("data/wp/wp.new")) << c.name;
    EXPECT_EQ("", p.site.read("data/wp/kestol.lck")) << c.name;
  }
}

namespace {

bool writes(Call call) {
  return call == Call::write || call == Call::pwrite || call == Call::ftruncate ||
         call == Call::copy_file_range;
}

// Index of the first call from `from` on that writes one of files, or the
// number of calls.
std::size_t next_write(const std::vector<MadeCall>& calls, std::size_t from,
                       const std::vector<std::string>& files) {
  for (std::size_t i = from; i < calls.size(); ++i) {
    if (!writes(calls[i].call)) continue;
    for (const std::string& f : files) {
      if (calls[i].file == f) return i;
    }
  }
  return calls.size();
}

std::size_t last_write_before(const std::vector<MadeCall>& calls, std::size_t to, const std::string& file) {
  for (std::size_t i = to; i-- > 0;) {
    if (writes(calls[i].call) && calls[i].file == file) return i;
  }
  return calls.size();
}

bool synced_between(const std::vector<MadeCall>& calls, std::size_t after, std::size_t before,
                    const std::string& file) {
  for (std::size_t i = after + 1; i < before && i < calls.size(); ++i) {
    if (calls[i].call == Call::fsync && calls[i].file == file) return true;
  }
  return false;
}

}  // namespace

// The order of a run's system calls: the database restored after an
// interrupted run is synced with its folder before the mark or the backup
// is touched again, and the new backup is synced with its folder before
// the database is touched.
TEST(FaultRun, FilesAndFoldersAreSyncedBeforeTheNextStep) {
  std::string data = mixed_database(300);
  Prepared p(data.substr(0, 5 * kRecordSize));  // a half-written database
  p.site.write("data/wp/wp.old", data);
  p.site.write("data/wp/kestol.lck", "rewriting");
  std::vector<MadeCall> calls;
  Script logged;
  logged.log = &calls;
  RunResult r = run_scripted(p.site, {}, logged);
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_NE(std::string::npos, r.err.find(kRecovered));
  std::size_t restore = next_write(calls, 0, {"wp.sys"});
  ASSERT_LT(restore, calls.size()) << "no restore";
  std::size_t after_restore = next_write(calls, restore, {"wp.new", "kestol.lck"});
  ASSERT_LT(after_restore, calls.size());
  std::size_t restored = last_write_before(calls, after_restore, "wp.sys");
  EXPECT_TRUE(synced_between(calls, restored, after_restore, "wp.sys"));
  EXPECT_TRUE(synced_between(calls, restored, after_restore, "wp"));

  std::size_t rewrite = next_write(calls, after_restore, {"wp.sys"});
  ASSERT_LT(rewrite, calls.size()) << "no rewrite";
  std::size_t backed_up = last_write_before(calls, rewrite, "wp.new");
  ASSERT_LT(backed_up, rewrite) << "no backup";
  EXPECT_TRUE(synced_between(calls, backed_up, rewrite, "wp.new"));
  EXPECT_TRUE(synced_between(calls, backed_up, rewrite, "wp"));
  EXPECT_TRUE(same_bytes(clean_outcome(data, false).database, p.site.read("data/wp/wp.sys")));
}

// A failure in the backup copy leaves no backup and the database
// untouched, at every such call of a copy; the call after them succeeds.
TEST(FaultRun, FailuresInTheBackupCopyLeaveNoBackup) {
  std::string small(5 * 16384 + 77, 'r');  // several reads of the copy buffer
  const Fault by_hand = {Call::copy_file_range, "wp.sys", 1, Action::fail, ENOSYS, true};
  struct Case {
    Call call;
    const char* file;
    int value;
    bool kernel;  // false: the kernel cannot copy, the copy goes by hand
    int calls;    // such calls of a copy
  } cases[] = {
      {Call::copy_file_range, "wp.sys", EIO, true, 2}, {Call::copy_file_range, "wp.new", ENOSPC, true, 2},
      {Call::ftruncate, "wp.new", EIO, true, 1},       {Call::fsync, "wp.new", EIO, true, 1},
      {Call::close, "wp.new", EIO, true, 1},           {Call::read, "wp.sys", EIO, false, 7},
      {Call::write, "wp.new", ENOSPC, false, 6},       {Call::fchmod, "wp.new", EPERM, true, 1},
  };
  for (const Case& c : cases) {
    for (int n = 1; n <= c.calls + 1; ++n) {
      Prepared p(small);
      p.site.write("data/wp/wp.old", "yesterday");
      std::string at = label(c.call, c.file, std::strerror(c.value), n);
      Script script = one(c.call, c.file, n, Action::fail, c.value);
      if (!c.kernel) script.faults.insert(script.faults.begin(), by_hand);
      RunResult r = run_scripted(p.site, {}, script);
      if (n > c.calls) {
        EXPECT_EQ(0, r.status) << at;  // there are no more such calls
        EXPECT_EQ(small, p.site.read("data/wp/wp.old")) << at;
        EXPECT_EQ("yesterday", p.site.read("data/wp/wp.old.1")) << at;
        continue;
      }
      EXPECT_EQ(2, r.status) << at;
      EXPECT_EQ(std::string(kSettings) + kSaves, r.err) << at;  // the copy loop fails silently
      EXPECT_EQ(small, p.site.read("data/wp/wp.sys")) << at;
      EXPECT_EQ("yesterday", p.site.read("data/wp/wp.old")) << at;  // the generations as they were
      EXPECT_FALSE(p.site.exists("data/wp/wp.new")) << at;
    }
  }
}

// Where the kernel cannot copy between the two files, the copy goes on by
// hand through the 16 KiB buffer; interrupted and short calls are retried.
TEST(FaultRun, TheBackupCopyFallsBackToReadAndWrite) {
  std::string big((8 << 20) + 5 * 16384 + 77, 'r');  // more than one kernel copy of 8 MiB
  const Fault by_hand = {Call::copy_file_range, "wp.sys", 1, Action::fail, ENOSYS, true};
  struct Case {
    const char* name;
    std::vector<Fault> faults;
  } cases[] = {
      {"kernel copy interrupted", {{Call::copy_file_range, "wp.sys", 1, Action::fail, EINTR}}},
      {"EXDEV", {{Call::copy_file_range, "wp.sys", 1, Action::fail, EXDEV, true}}},
      {"ENOSYS", {by_hand}},
      {"EOPNOTSUPP", {{Call::copy_file_range, "wp.sys", 1, Action::fail, EOPNOTSUPP, true}}},
      {"EINVAL after a first chunk", {{Call::copy_file_range, "wp.sys", 2, Action::fail, EINVAL, true}}},
      {"read interrupted", {by_hand, {Call::read, "wp.sys", 2, Action::fail, EINTR}}},
      {"write interrupted", {by_hand, {Call::write, "wp.new", 2, Action::fail, EINTR}}},
      {"writes short", {by_hand, {Call::write, "wp.new", 1, Action::shorten, 0, true}}},
  };
  for (const Case& c : cases) {
    Prepared p(big);
    p.site.write("data/wp/wp.old", std::string(200000, 'o'));  // longer than the copy: cut to length
    Script script;
    script.faults = c.faults;
    RunResult r = run_scripted(p.site, {"/NOC"}, script);
    EXPECT_EQ(0, r.status) << c.name << "\n" << r.err;
    EXPECT_EQ(big, p.site.read("data/wp/wp.old")) << c.name;
  }
}

// A folder swapped for another after the check, while the run opens its
// first file there, changes nothing the run touches.
TEST(FaultRun, AFolderSwappedAfterTheCheckChangesNothingTheRunTouches) {
  Prepared p(mixed_database(300));
  p.site.write("decoy/wp/wp.sys", "another database");
  struct Swap {
    const Site* site;
  } swap{&p.site};
  Script script;
  script.faults.push_back({Call::openat, "mess.wp", 1, Action::hook, 0, false,
                           [](void* target) {
                             const Site& s = *static_cast<Swap*>(target)->site;
                             std::filesystem::rename(s.path("data"), s.path("moved"));
                             std::filesystem::rename(s.path("decoy"), s.path("data"));
                           },
                           &swap});
  RunResult r = run_scripted(p.site, {}, script);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("another database", p.site.read("data/wp/wp.sys"));
  EXPECT_FALSE(p.site.exists("data/wp/wp.old"));
  EXPECT_FALSE(p.site.exists("data/wp/mess.wp"));
  EXPECT_EQ(p.data, p.site.read("moved/wp/wp.old"));
}

namespace {

// The database of day d of a series: d records, so every state differs.
std::string day_database(int d) {
  std::vector<WpRecord> records;
  for (int i = 0; i < d; ++i) {
    records.push_back(make_record(distinct_callsign(i).c_str(), "QQ1AA.QQ.EU", kFrozenNow, kFrozenNow));
  }
  return records_bytes(records);
}

// wp.old, then wp.old.1 to wp.old.4; "(none)" for a name that is absent.
std::vector<std::string> generations(const Site& site) {
  std::vector<std::string> all;
  for (int n = 0; n <= 4; ++n) {
    std::string name = n == 0 ? "data/wp/wp.old" : "data/wp/wp.old." + std::to_string(n);
    all.push_back(site.exists(name) ? site.read(name) : "(none)");
  }
  return all;
}

// Every file of the site but the run lock, which a run creates empty, and
// the spare, which a run may take to copy over.
std::map<std::string, std::string> files_but_lock(const Site& site) {
  auto files = site.files();
  files.erase("data/wp/kestol.lck");
  files.erase("data/wp/wp.spare");
  return files;
}

// Appends records to the file at a path, as a writer of the larger system
// that takes no lock would while a run rewrites it.
struct Appender {
  std::string path, records;
};

void append_records(void* target) {
  auto& a = *static_cast<Appender*>(target);
  std::ofstream(a.path, std::ios::binary | std::ios::app) << a.records;
}

}  // namespace

// After each committed run wp.old.N is the database as it was before the
// Nth earlier committed run, up to --keep (default 3), with its mode; a
// failed copy, a run undone by its drop limit, and a kill at any rename of
// the rotation leave no state lost: the next run ends the chain as an
// undisturbed series of runs would have.
TEST(Generations, EachKeepsAnEarlierStateThroughFailuresAndCrashes) {
  Prepared p(day_database(1));
  std::vector<std::string> expected(5, "(none)");
  for (int d = 2; d <= 6; ++d) {
    // Changing day counts; the database of day d is written after the run,
    // as the larger system would have changed it by the next one.
    expected.insert(expected.begin(), p.site.read("data/wp/wp.sys"));
    expected.resize(4);
    expected.push_back("(none)");
    ASSERT_EQ(0, run_scripted(p.site, {std::to_string(30 + d), std::to_string(80 + d)}, {}).status) << d;
    EXPECT_TRUE(expected == generations(p.site)) << "day " << d;
    // A wp.old takes the mode its predecessor had: 0600 at first.
    struct stat st;
    ASSERT_EQ(0, stat(p.site.path("data/wp/wp.old").c_str(), &st));
    EXPECT_EQ(d == 2 ? 0600u : 0640u, st.st_mode & 0777) << d;
    chmod(p.site.path("data/wp/wp.old").c_str(), 0640);
    p.site.write("data/wp/wp.sys", day_database(d));
  }
  // Failures before the commit leave every file as it was.
  const auto before = files_but_lock(p.site);
  struct Case {
    std::vector<std::string> args;
    Fault fault;
    int status;
  } failures[] = {
      {{}, {Call::copy_file_range, "wp.new", 1, Action::fail, ENOSPC}, 2},
      {{}, {Call::fsync, "wp.new", 1, Action::kill}, 128 + SIGKILL},
      {{}, {Call::write, "wp.sys", 1, Action::fail, ENOSPC}, 1},
      {{"--max-drop=10", "40", "-1"}, {Call::fsync, "nothing", 1, Action::kill}, 4},
  };
  for (const Case& c : failures) {
    RunResult r = run_scripted(p.site, c.args, Script{{c.fault}});
    EXPECT_EQ(c.status, r.status) << call_name(c.fault.call) << "\n" << r.err;
    bool killed = r.status == 128 + SIGKILL;
    if (killed) {
      ASSERT_EQ(0, run_scripted(p.site, {"--recover"}, {}).status);
    }
    auto after = files_but_lock(p.site);
    if (killed) after.erase("data/wp/wp.new");  // the copy it made, replaced by the next run
    EXPECT_TRUE(before == after) << call_name(c.fault.call);
  }
  // A kill at each rename of the rotation, which comes after the commit,
  // then the next run, which finishes it and goes on: as two runs.
  Site clean;
  copy_site(p.site, clean, true);
  ASSERT_EQ(0, run_scripted(clean, {}, {}).status);
  ASSERT_EQ(0, run_scripted(clean, {}, {}).status);
  // The first rename takes the spare for the copy; then wp.old.3 becomes
  // the spare, .2 goes to .3, .1 to .2, wp.old to .1, wp.new to wp.old.
  for (int n = 2; n <= 6; ++n) {
    Site crashed;
    copy_site(p.site, crashed, true);
    ASSERT_EQ(128 + SIGKILL, run_scripted(crashed, {}, one(Call::renameat, "", n, Action::kill)).status) << n;
    RunResult next = run_scripted(crashed, {}, {});
    EXPECT_EQ(0, next.status) << "rename #" << n << "\n" << next.err;
    EXPECT_NE(std::string::npos, next.err.find("after its commit")) << n;
    EXPECT_TRUE(outcome(clean) == outcome(crashed)) << n;
    EXPECT_TRUE(generations(clean) == generations(crashed)) << "rename #" << n;
  }
  // --keep=0 keeps today's files: wp.old alone, the older ones untouched.
  ASSERT_EQ(0, run_scripted(p.site, {"--keep=0"}, {}).status);
  expected = generations(p.site);
  EXPECT_TRUE(same_bytes(day_database(6), expected[0]));
  EXPECT_TRUE(same_bytes(before.at("data/wp/wp.old.1"), expected[1]));
}

// kestol --restore=N puts generation N back, and the database it replaced
// becomes wp.old, so that --restore=0 undoes it; a generation that does not
// exist is refused with nothing touched.
TEST(Generations, ARestoreCanItselfBeUndone) {
  Prepared p(day_database(1));
  for (int d = 2; d <= 3; ++d) {
    ASSERT_EQ(0, run_scripted(p.site, {}, {}).status);
    p.site.write("data/wp/wp.sys", day_database(d));
  }
  // wp.sys: day 3; wp.old: day 2; wp.old.1: day 1.
  auto before = p.site.files();
  RunResult missing = run_scripted(p.site, {"--restore=5"}, {});
  EXPECT_EQ(2, missing.status);
  EXPECT_EQ("\nKestol V 7.00b\n\nCannot find data/wp/wp.old.5\n", missing.err);
  EXPECT_TRUE(before == p.site.files());
  RunResult restored = run_scripted(p.site, {"--restore=1"}, {});
  EXPECT_EQ(0, restored.status);
  EXPECT_EQ("\nKestol V 7.00b\n\n'data/wp/wp.sys' restored from 'data/wp/wp.old.1'\n", restored.err);
  std::vector<std::string> expected = {day_database(3), day_database(2), day_database(1), "(none)", "(none)"};
  EXPECT_TRUE(same_bytes(day_database(1), p.site.read("data/wp/wp.sys")));
  EXPECT_TRUE(expected == generations(p.site));
  EXPECT_EQ("", p.site.read("data/wp/mess.wp"));  // announces nothing
  ASSERT_EQ(0, run_scripted(p.site, {"--restore=0"}, {}).status);
  EXPECT_TRUE(same_bytes(day_database(3), p.site.read("data/wp/wp.sys")));
  // Killed or stopped while it restores a larger generation over a smaller
  // database: undone to the byte, by the next run or at the signal.
  p.site.write("data/wp/wp.sys", day_database(1));
  const auto chain = generations(p.site);
  for (Action action : {Action::kill, Action::signal}) {
    RunResult r = run_scripted(p.site, {"--restore=1"}, one(Call::fsync, "wp.sys", 1, action, SIGTERM));
    EXPECT_EQ(action == Action::kill ? 128 + SIGKILL : 128 + SIGTERM, r.status) << r.err;
    if (action == Action::kill) {
      RunResult next = run_scripted(p.site, {"--recover"}, {});
      EXPECT_EQ(0, next.status) << next.err;
    }
    EXPECT_TRUE(same_bytes(day_database(1), p.site.read("data/wp/wp.sys")));
    EXPECT_TRUE(chain == generations(p.site));
  }
  // Into a missing database it is renamed into place whole: a kill leaves
  // nothing to undo, and nothing to rotate.
  ASSERT_EQ(0, unlink(p.site.path("data/wp/wp.sys").c_str()));
  ASSERT_EQ(128 + SIGKILL,
            run_scripted(p.site, {"--restore=1"}, one(Call::fsync, "wp.new", 1, Action::kill)).status);
  RunResult again = run_scripted(p.site, {"--restore=1"}, {});
  EXPECT_EQ(0, again.status) << again.err;
  EXPECT_TRUE(same_bytes(chain[1], p.site.read("data/wp/wp.sys")));
  EXPECT_TRUE(chain == generations(p.site));
}

// What makes a run refuse or undo itself whole, with every file as it was
// (the database, mess.wp, the update file, the generations): more dropped
// than --max-drop allows, or a lock another process holds on wp.sys, of
// either kind. At the limit or under it the run goes on.
TEST(Generations, TheDropLimitAndTheDatabaseLocks) {
  std::string data = mixed_database(700);  // every seventh expired: 100 of 700 dropped
  const std::string dropped = "\rRecord 700\n\nRun would delete 100 of 700 records: nothing changed\n";
  const std::string in_use = "Database 'data/wp/wp.sys' is in use\n";
  enum Lock { none, whole_file, record };
  struct Case {
    const char* limit;
    Lock lock;
    int status;
    const std::string& message;
  } cases[] = {
      {"--max-drop=10", none, 4, dropped}, {"--max-drop=15", none, 0, dropped},
      {"--max-drop=0", none, 4, dropped},  {"--max-drop=100", none, 0, dropped},
      {"--keep=3", whole_file, 4, in_use}, {"--keep=3", record, 4, in_use},
  };
  for (const Case& c : cases) {
    Prepared p(data, true);
    p.site.write("data/wp/wp.old", "yesterday");
    auto before = files_but_lock(p.site);
    int fd = open(p.site.path("data/wp/wp.sys").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    int locked = c.lock == whole_file ? flock(fd, LOCK_EX) : c.lock == record ? lockf(fd, F_LOCK, 0) : 0;
    ASSERT_EQ(0, locked);
    std::vector<std::string> args = {c.limit};
    args.insert(args.end(), kUpdateArgs.begin(), kUpdateArgs.end());
    RunResult r = run_scripted(p.site, args, {});
    close(fd);
    EXPECT_EQ(c.status, r.status) << c.limit << c.lock << "\n" << r.err;
    if (c.status != 0) {
      EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.limit << c.lock;
      EXPECT_TRUE(before == files_but_lock(p.site)) << c.limit << c.lock;
    } else {
      EXPECT_EQ("yesterday", p.site.read("data/wp/wp.old.1")) << c.limit;
    }
  }
}

// Records appended to the database during a run are never cut off: they
// follow the rewritten records as they are, also when the run is undone
// or killed after they were moved. The first come before the move, the
// others while the move is under way, so it takes them in a second pass.
TEST(Generations, RecordsAppendedDuringTheRunAreKept) {
  std::string data = mixed_database(1500);
  std::vector<WpRecord> added;
  for (int i = 0; i < 300; ++i) {
    added.push_back(
        make_record(distinct_callsign(100000 + i).c_str(), "QQ1AA.QQ.EU", kFrozenNow, kFrozenNow));
  }
  std::string all = records_bytes(added);
  Appender first{"", all.substr(0, 200 * kRecordSize)}, second{"", all.substr(200 * kRecordSize)};
  struct Case {
    Call call;  // besides the appends
    const char* file;
    int nth;
    Action action;
    int value;
    int status;
    std::string expected;
  } cases[] = {
      {Call::fsync, "nothing", 1, Action::kill, 0, 0, clean_outcome(data, false).database + all},
      {Call::fsync, "wp.sys", 1, Action::fail, EIO, 1, data + all},
      {Call::ftruncate, "wp.sys", 1, Action::kill, 0, 128 + SIGKILL, data + all},
      {Call::fsync, "wp.add", 2, Action::kill, 0, 128 + SIGKILL,
       data + all},  // before the second pass is noted
  };
  for (const Case& c : cases) {
    Prepared p(data);
    first.path = second.path = p.site.path("data/wp/wp.sys");
    Script script;
    script.faults.push_back({Call::fsync, "mess.wp", 1, Action::hook, 0, false, append_records, &first});
    script.faults.push_back({Call::pwrite, "wp.add", 1, Action::hook, 0, false, append_records, &second});
    script.faults.push_back({c.call, c.file, c.nth, c.action, c.value});
    RunResult r = run_scripted(p.site, {}, script);
    EXPECT_EQ(c.status, r.status) << r.err;
    if (r.status == 128 + SIGKILL) {
      ASSERT_EQ(0, run_scripted(p.site, {"--recover"}, {}).status);
    }
    EXPECT_TRUE(same_bytes(c.expected, p.site.read("data/wp/wp.sys"))) << call_name(c.call) << c.nth;
    EXPECT_FALSE(p.site.exists("data/wp/wp.add")) << c.status;
  }
}
