// Fault and crash points over the system-call table: a run made to fail,
// stop, be killed or lose its power at any call, then the next run;
// nothing may be lost or announced twice.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/unit/scripted_calls.h"

namespace {

// The database of day d of a series: d records, so every state differs.
std::string day_database(int d) {
  std::vector<WpRecord> records;
  for (int i = 0; i < d; ++i) {
    records.push_back(make_record(distinct_callsign(i).c_str(), "QQ1AA.QQ.EU", kFrozenNow, kFrozenNow));
  }
  return records_bytes(records);
}

// Where the sites of these tests go: a folder in memory where there is one,
// since they sync their files hundreds of times and what is tested is what
// the syncs make durable, not a disk.
std::string site_parent() { return access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : default_parent(); }

// A site with init.srv and a database; with announced, earlier lines in
// mess.wp and records in the update file; with history, two generations.
struct Prepared {
  Site site{site_parent()};
  std::string data;
  explicit Prepared(const std::string& bytes, bool announced = false, bool history = false) : data(bytes) {
    site.write_init();
    site.write("data/wp/wp.sys", data);
    if (announced) announce_earlier(site);
    if (history) {
      site.write("data/wp/wp.old", day_database(2));
      site.write("data/wp/wp.old.1", day_database(1));
    }
  }
};

Script one(Call call, const char* file, int nth, Action action, int value = 0, bool onwards = false) {
  Script script;
  script.faults.push_back({call, file, nth, action, value, onwards});
  return script;
}

// Kills the run as it commits: its first cut of the database.
Script kill_at_commit() { return one(Call::ftruncate, "wp.sys", 1, Action::kill); }
// Kills the run after its commit, as it appends its first spool.
Script kill_in_append() { return one(Call::copy_file_range, "mess.wp", 1, Action::kill); }

std::string label(Call call, const std::string& file, const std::string& what, int n) {
  return file + " " + call_name(call) + " " + what + " #" + std::to_string(n);
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

// Every file of the site but the run lock, which a run creates empty.
std::map<std::string, std::string> files_but_lock(const Site& site) {
  auto files = site.files();
  files.erase("data/wp/kestol.lck");
  return files;
}

// What uninterrupted runs make of a prepared site: the database and
// announcements of one run (a second one makes no change there), and the
// generations after one, two and three runs.
struct Expected {
  Outcome outcome;
  std::vector<std::vector<std::string>> chains;
};

template <typename Appending = void>
Expected clean_runs(const std::string& data, bool announced, bool history,
                    const std::vector<std::string>& args, Appending* appending = nullptr) {
  Prepared p(data, announced, history);
  Expected e;
  for (int run = 1; run <= 3; ++run) {
    Script script;
    if constexpr (!std::is_void_v<Appending>) {
      if (run == 1 && appending != nullptr) script.faults = appending->faults(p.site);
    }
    EXPECT_EQ(0, run_scripted(p.site, args, script).status);
    if (run == 1) e.outcome = outcome(p.site);
    e.chains.push_back(generations(p.site));
  }
  return e;
}

// The next run after interrupted ones ends as one uninterrupted run would
// for the database and announcements, each made once, and with every
// generation where at most `runs` uninterrupted runs would have put it.
void expect_next_run_ends_as_expected(const Site& site, const std::vector<std::string>& args,
                                      const Expected& e, const std::string& at, int runs = 2,
                                      const Expected* also = nullptr) {
  RunResult next = run_scripted(site, args, {});
  EXPECT_EQ(0, next.status) << at << "\n" << next.err;
  Outcome now = outcome(site);
  EXPECT_TRUE(same_bytes(e.outcome.database, now.database)) << at;
  EXPECT_TRUE(same_bytes(e.outcome.messages, now.messages)) << at;
  EXPECT_TRUE(same_bytes(e.outcome.updates, now.updates)) << at;
  auto chain = generations(site);
  bool found = false;
  for (int run = 0; run < runs; ++run) {
    found = found || chain == e.chains[static_cast<std::size_t>(run)] ||
            (also != nullptr && chain == also->chains[static_cast<std::size_t>(run)]);
  }
  EXPECT_TRUE(found) << at;
  EXPECT_FALSE(site.exists("data/wp/wp.new") || site.exists("data/wp/mess.spool") ||
               site.exists("data/wp/update.spool") || site.exists("data/wp/wp.add"))
      << at;
}

// The errno a call of this kind fails with in the sweep: what a full
// disk, a failing disk or a process out of descriptors gives.
int failure_of(Call call) {
  switch (call) {
    case Call::openat:
    case Call::duplicate:
      return EMFILE;
    case Call::write:
    case Call::pwrite:
    case Call::copy_file_range:
    case Call::ftruncate:
      return ENOSPC;
    case Call::flock:
    case Call::record_lock:
      return ENOLCK;
    default:
      return EIO;
  }
}

bool changes_state(Call call) {
  switch (call) {
    case Call::write:
    case Call::pwrite:
    case Call::copy_file_range:
    case Call::ftruncate:
    case Call::fsync:
    case Call::renameat2:
    case Call::unlinkat:
    case Call::fchmod:
      return true;
    default:
      return false;
  }
}

// The files of a site, and its database's folder: the calls on anything
// else are those of the walk to the site, whose failures are refusals
// before anything is touched (tested with the refusals).
bool site_file(const std::string& name) {
  for (const char* own : {"wp", "wp.sys", "wp.new", "wp.add", "mess.wp", "mess.spool", "update.spool",
                          "updates.wp", "kestol.lck", "init.srv", "kestol.res"}) {
    if (name == own) return true;
  }
  return name.rfind("wp.old", 0) == 0;
}

// Appends records to the file at a path, and syncs them, as a writer of
// the larger system that takes no lock would while a run rewrites it.
struct Appender {
  std::string path, records;
};

void append_records(void* target) {
  auto& a = *static_cast<Appender*>(target);
  std::ofstream(a.path, std::ios::binary | std::ios::app) << a.records;
  int fd = open(a.path.c_str(), O_RDONLY);
  fsync(fd);  // all of the file, what the run wrote in it included
  close(fd);
  note_synced_elsewhere(a.path);
}

// Records a writer appends during a run: before its commit, and (with
// two passes) while the commit moves the first ones, so that it takes them
// in a second pass.
struct Appending {
  bool two_passes = true;
  std::string all;
  Appender first, second;
  Appending() {
    std::vector<WpRecord> added;
    for (int i = 0; i < 300; ++i) {
      added.push_back(
          make_record(distinct_callsign(100000 + i).c_str(), "QQ1AA.QQ.EU", kFrozenNow, kFrozenNow));
    }
    all = records_bytes(added);
    first.records = all.substr(0, 200 * kRecordSize);
    second.records = all.substr(200 * kRecordSize);
  }
  std::vector<Fault> faults(const Site& site) {
    first.path = second.path = site.path("data/wp/wp.sys");
    if (!two_passes) first.records = all;
    std::vector<Fault> f = {{Call::fsync, "mess.spool", 1, Action::hook, 0, false, append_records, &first}};
    if (two_passes)
      f.push_back({Call::copy_file_range, "wp.add", 1, Action::hook, 0, false, append_records, &second});
    return f;
  }
};

// Where a sweep starts: the site, what may have happened before the swept
// run (a first run stopped by a fault, then a file taken away), and what
// happens during it besides the cut.
struct Scenario {
  const char* name;
  bool announced;     // earlier announcements in mess.wp and the update file
  Fault first;        // stops a first run; nth 0: there is none
  const char* taken;  // removed after the first run; nullptr: nothing
  bool appended;      // a writer appends records during the swept run
  Fault during;       // a fault of the swept run; nth 0: none
  bool failures;      // also fail each call on the site's files once
};

// Every call of a run on the site's files, failed once (with failures),
// and every call that changes or syncs a file, with the run killed there
// or its power cut (each way a cut can leave unsynced data); then the next
// run. Along the way runs are committed (and completed by the next one,
// which then runs again on the committed database) or undone: either way
// the next run ends as uninterrupted runs would. The sites have a chain of
// generations, and mess.wp and the update file made by the run or with
// earlier announcements.
void sweep(const Scenario& s) {
  const std::vector<std::string>& args = kUpdateArgs;
  std::string data = mixed_database(400);  // 78 KB: two writes of the update spool
  Appending appending;
  appending.two_passes = false;
  Expected expected = clean_runs(data, s.announced, true, args, s.appended ? &appending : nullptr);
  Expected unappended = clean_runs(data, s.announced, true, args);
  // Records appended before a run that was then undone are in the next
  // run's backup, as if they had been there before.
  Expected preappended = clean_runs(data + appending.all, s.announced, true, args);
  // Brings a site to the swept run, and answers its faults.
  auto prepare = [&](const Site& site) {
    if (s.first.nth > 0) {
      EXPECT_EQ(128 + SIGKILL, run_scripted(site, args, Script{{s.first}}).status) << s.name;
    }
    if (s.taken != nullptr) std::filesystem::remove(site.path(s.taken));
    std::vector<Fault> faults = s.appended ? appending.faults(site) : std::vector<Fault>{};
    if (s.during.nth > 0) faults.push_back(s.during);
    return faults;
  };
  std::vector<MadeCall> calls;
  {
    Prepared p(data, s.announced, true);
    Script logged{prepare(p.site)};
    logged.log = &calls;
    run_scripted(p.site, args, logged);
  }
  // The call number of the nth such call, or one past the last call.
  auto find = [&](Call kind, const char* file, int nth) {
    int n = 1;
    for (; n <= static_cast<int>(calls.size()); ++n) {
      if (calls[n - 1].call == kind && calls[n - 1].file == file && --nth == 0) break;
    }
    return n;
  };
  // A run cut before the writer appends anything ends as if it had not.
  int appended_at = find(Call::fsync, "mess.spool", 1);
  // After a first run, the way back is what is swept: up to the swept
  // run's own begin entry, where the journal was cleared.
  int last = s.first.nth > 0 ? find(Call::ftruncate, "kestol.lck", 2) : static_cast<int>(calls.size());
  int points = 0;
  for (int n = 1; n <= last && n <= static_cast<int>(calls.size()); ++n) {
    const MadeCall& call = calls[n - 1];
    struct Way {
      Action action;
      int value;
    };
    std::vector<Way> ways;
    if (s.failures && site_file(call.file)) ways.push_back({Action::fail, failure_of(call.call)});
    if (changes_state(call.call)) {
      ways.push_back({Action::kill, 0});
      ways.push_back({Action::power, PowerCut::lost});
      if (s.first.nth == 0) ways.push_back({Action::power, n % 2 == 0 ? PowerCut::zeros : PowerCut::torn});
    }
    for (const Way& way : ways) {
      Prepared p(data, s.announced, true);
      Script script{prepare(p.site)};
      script.faults.push_back({Call::any, "", n, way.action, way.value});
      std::string what = way.action == Action::fail   ? std::strerror(way.value)
                         : way.action == Action::kill ? "kill"
                                                      : "power cut " + std::to_string(way.value);
      run_scripted(p.site, args, script);
      bool before_appends = s.appended && n < appended_at;
      expect_next_run_ends_as_expected(p.site, args, before_appends ? unappended : expected,
                                       std::string(s.name) + ": " + label(call.call, call.file, what, n),
                                       s.first.nth > 0 ? 3 : 2, s.appended ? &preappended : nullptr);
      ++points;
    }
  }
  EXPECT_GT(points, 20) << s.name;
}

}  // namespace

TEST(CrashSweep, FailuresKillsAndPowerCutsWithFilesTheRunMakes) {
  sweep({"a run", false, {}, nullptr, false, {}, true});
}

TEST(CrashSweep, KillsAndPowerCutsAfterEarlierAnnouncements) {
  sweep({"after earlier announcements", true, {}, nullptr, false, {}, false});
}

TEST(CrashSweep, KillsAndPowerCutsWhileRecordsAreAppended) {
  sweep({"records appended", false, {}, nullptr, true, {}, false});
  sweep({"records appended, the run undone",
         false,
         {},
         nullptr,
         true,
         {Call::fsync, "wp.sys", 1, Action::fail, EIO},
         false});
}

// The way back under kills and power cuts: the next run after one that was
// interrupted before its commit, after it, with a file taken away since,
// or with zeros where its appended bytes never reached the disk.
TEST(CrashSweep, KillsAndPowerCutsInTheWayBack) {
  const Scenario scenarios[] = {
      {"undo", true, {Call::ftruncate, "wp.sys", 1, Action::kill}, nullptr, false, {}, false},
      {"completion", true, {Call::renameat2, "", 1, Action::kill}, nullptr, false, {}, false},
      {"undo, database taken away",
       false,
       {Call::ftruncate, "wp.sys", 1, Action::kill},
       "data/wp/wp.sys",
       false,
       {},
       false},
      {"completion, update file taken away",
       false,
       {Call::copy_file_range, "mess.wp", 1, Action::kill},
       "updates.wp",
       false,
       {},
       false},
      {"completion after zeros",
       true,
       {Call::fsync, "mess.wp", 1, Action::power, PowerCut::zeros},
       nullptr,
       false,
       {},
       false},
  };
  for (const Scenario& s : scenarios) sweep(s);
}

// Short counts and interrupted calls are no failures: the run goes on and
// ends as an undisturbed one.
TEST(FaultRun, ShortCountsAndInterruptedCallsChangeNothing) {
  std::string data = mixed_database(1500);
  Outcome expected = clean_runs(data, true, false, kUpdateArgs).outcome;
  struct Case {
    Call call;
    const char* file;
    Action action;
    int value;
  } cases[] = {
      {Call::write, "wp.sys", Action::shorten, 0},
      {Call::read, "wp.new", Action::shorten, 0},
      {Call::write, "mess.spool", Action::shorten, 0},
      {Call::write, "update.spool", Action::shorten, 0},
      {Call::pwrite, "kestol.lck", Action::shorten, 0},
      {Call::pread, "kestol.lck", Action::shorten, 0},
      {Call::pread, "mess.spool", Action::shorten, 0},
      {Call::copy_file_range, "wp.new", Action::shorten, 0},
      {Call::copy_file_range, "mess.wp", Action::shorten, 0},
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

// Each failure ends with its status, its message and the system's reason,
// and the run undone: the database whole, no backup or spool left over.
TEST(FaultRun, OpenAndStreamFailuresEndWithTheirStatusAndReason) {
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
       "Cannot open 'data/wp/wp.new'     \nkestol: data/wp/wp.new: Permission denied\n"},
      // The first two opens of the database are for its locks and the backup copy.
      {"database cannot be opened", 3, Call::openat, "wp.sys", EACCES, 3, 4,
       "Cannot open 'data/wp/wp.sys'     \nkestol: data/wp/wp.sys: Permission denied\n"},
      {"backup read error", 3, Call::read, "wp.new", EIO, 1, 3,
       "Error while reading file 'data/wp/wp.new'\nkestol: data/wp/wp.new: Input/output error\n"},
      // The kept records of a block of 1024 are written once it is reviewed.
      {"write error in the loop", 1500, Call::write, "wp.sys", ENOSPC, 1, 1,
       progress + write_failed + "kestol: data/wp/wp.sys: No space left on device\n"},
      {"fsync error", 3, Call::fsync, "wp.sys", EIO, 1, 1,
       write_failed + "kestol: data/wp/wp.sys: Input/output error\n"},
      // A begin entry that may not be on disk is taken back: the lock ends empty.
      {"journal cannot be synced", 3, Call::fsync, "kestol.lck", EIO, 1, 4,
       "Error while writting file 'data/wp/kestol.lck'\nkestol: data/wp/kestol.lck: Input/output error\n"},
      {"spool cannot be created", 3, Call::openat, "mess.spool", ENOSPC, 1, 1,
       "Cannot create 'data/wp/mess.spool'  \nkestol: data/wp/mess.spool: No space left on device\n"},
      // The first close of the database is the backup copy's, of its source.
      {"close error", 3, Call::close, "wp.sys", EIO, 2, 1,
       write_failed + "kestol: data/wp/wp.sys: Input/output error\n"},
      // The backup copy's loop: no message but the reason.
      {"copy fails", 3, Call::pwrite, "wp.new", ENOSPC, 1, 2,
       "kestol: data/wp/wp.new: No space left on device\n"},
  };
  for (const Case& c : cases) {
    std::vector<WpRecord> records;
    for (int i = 0; i < c.records; ++i) {
      records.push_back(make_record(distinct_callsign(i).c_str(), "QQ1AA.QQ.EU", kFrozenNow, kFrozenNow));
    }
    Prepared p(records_bytes(records));
    Script script = one(c.call, c.file, c.nth, Action::fail, c.value);
    if (std::strcmp(c.name, "copy fails") == 0) {
      script.faults.push_back({Call::copy_file_range, "", 1, Action::fail, ENOSYS, true});
    }
    RunResult r = run_scripted(p.site, {}, script);
    EXPECT_EQ(c.status, r.status) << c.name;
    EXPECT_EQ(run_header() + c.tail, r.err) << c.name;
    EXPECT_EQ("", r.out) << c.name;
    EXPECT_TRUE(same_bytes(p.data, p.site.read("data/wp/wp.sys"))) << c.name;
    auto files = files_but_lock(p.site);
    files.erase("data/wp/mess.wp");         // made where a run makes it, before anything can fail
    EXPECT_EQ(2u, files.size()) << c.name;  // init.srv and wp.sys
    EXPECT_EQ("", p.site.read("data/wp/kestol.lck")) << c.name;
  }
}

// A journal that cannot be read stops the run before it touches anything:
// going on could copy a half-written database over the only backup. Every
// single-byte change of a real journal is refused; kestol --recover then
// restores the database from the backup the journal would have named.
TEST(FaultRun, AJournalThatCannotBeReadStopsTheRunUntilRecovered) {
  std::string data = mixed_database(1500);
  Expected expected = clean_runs(data, true, false, kUpdateArgs);
  // The journal of a run killed in its record loop (the database half
  // rewritten), and of one killed after its commit, as it appends.
  for (const Script& kill : {one(Call::write, "wp.sys", 2, Action::kill), kill_in_append()}) {
    Prepared killed(data, true);
    ASSERT_EQ(128 + SIGKILL, run_scripted(killed.site, kUpdateArgs, kill).status);
    const std::string journal = killed.site.read("data/wp/kestol.lck");
    bool committed = journal.find("\ncommitted ") != std::string::npos;
    // One changed byte every few, its end as zeros, all of it zeros.
    std::vector<std::string> damaged;
    for (std::size_t at = 0; at < journal.size(); at += 7) {
      damaged.push_back(journal);
      damaged.back()[at] = static_cast<char>(journal[at] ^ 0x04);
    }
    damaged.push_back(journal.substr(0, journal.size() - 1) + '\0');
    damaged.push_back(std::string(journal.size(), '\0'));
    for (const std::string& changed : damaged) {
      std::string at = (committed ? "committed, " : "") + std::to_string(&changed - damaged.data());
      Prepared p(data, true);
      copy_site(killed.site, p.site, true);
      p.site.write("data/wp/kestol.lck", changed);
      auto before = p.site.files();
      RunResult refused = run_scripted(p.site, kUpdateArgs, {});
      if (committed && refused.status != 4) {
        // Only an end that reads as cut short passes: the commit entry
        // is then taken never to have been flushed, and the run stops
        // on the backup it no longer finds.
        EXPECT_EQ(2, refused.status) << at << refused.err;
      } else {
        EXPECT_EQ(4, refused.status) << at << refused.err;
        EXPECT_EQ(std::string(kSettings) + "Error while reading file 'data/wp/kestol.lck'\n", refused.err)
            << at;
      }
      EXPECT_TRUE(before == p.site.files()) << at;
      RunResult recovered = run_scripted(p.site, {"--recover"}, {});
      if (!committed) {
        EXPECT_EQ(0, recovered.status) << at << recovered.err;
        EXPECT_NE(std::string::npos, recovered.err.find("'data/wp/wp.sys' restored from 'data/wp/wp.new'\n"))
            << at;
        expect_next_run_ends_as_expected(p.site, kUpdateArgs, expected, at);
      } else if (recovered.status == 0) {
        // Read without its checksums, and completed.
        expect_next_run_ends_as_expected(p.site, kUpdateArgs, expected, at, 3);
      } else {
        // Without a journal nothing says what of the spools landed: they
        // stay, and the operator is told.
        EXPECT_NE(std::string::npos, recovered.err.find("Interrupted run: 'data/wp/mess.spool' holds")) << at;
        EXPECT_TRUE(p.site.exists("data/wp/mess.spool") && p.site.exists("data/wp/update.spool")) << at;
      }
    }
  }
  // A read error, too.
  Prepared p(data);
  p.site.write("data/wp/kestol.lck", "begin 3 ");
  RunResult r = run_scripted(p.site, {}, one(Call::pread, "kestol.lck", 1, Action::fail, EIO));
  EXPECT_EQ(4, r.status);
  EXPECT_NE(std::string::npos, r.err.find("kestol: data/wp/kestol.lck: Input/output error\n")) << r.err;
}

// An undo that fails half-way keeps the journal, so that the next run does
// it again.
TEST(FaultRun, AnUndoThatFailsIsTakenUpByTheNextRun) {
  std::string data = mixed_database(1100);  // two blocks: the restore follows a write that failed
  Expected expected = clean_runs(data, true, true, kUpdateArgs);
  // Every write to the database fails, and so does the restore's copy.
  Prepared p(data, true, true);
  Script script;
  script.faults = {{Call::write, "wp.sys", 1, Action::fail, ENOSPC, true},
                   {Call::copy_file_range, "wp.sys", 1, Action::fail, EIO, true},
                   {Call::pwrite, "wp.sys", 1, Action::fail, ENOSPC, true}};
  RunResult r = run_scripted(p.site, kUpdateArgs, script);
  EXPECT_EQ(1, r.status);
  EXPECT_NE(
      std::string::npos,
      r.err.find(
          "Error while writting file 'data/wp/wp.sys'\nkestol: data/wp/wp.sys: No space left on device\n"
          "Cannot restore 'data/wp/wp.sys' from 'data/wp/wp.new'\n"))
      << r.err;
  EXPECT_EQ(data, p.site.read("data/wp/wp.new"));  // kept for the next run
  EXPECT_EQ(0u, p.site.read("data/wp/kestol.lck").find("begin 3 "));
  RunResult next = run_scripted(p.site, kUpdateArgs, {});
  EXPECT_NE(std::string::npos, next.err.find(kRecoveredNew)) << next.err;
  EXPECT_TRUE(same_bytes(expected.outcome.database, p.site.read("data/wp/wp.sys")));
}

// A run killed before its commit leaves a journal that the next run undoes
// wherever the site has gone: copied with its times to another file system
// (new device numbers and inodes, as after a reboot onto another device or
// a restore), or reached from another working directory through an
// absolute base. A backup copied without its times is not known for the
// run's own: the run stops, says why and what to run, and kestol
// --recover then restores it.
TEST(FaultRun, AJournalAppliesWhereverTheSiteGoes) {
  std::string data = mixed_database(1500);
  Outcome expected = clean_runs(data, true, false, kUpdateArgs).outcome;
  const std::string untimed =
      "Cannot restore 'data/wp/wp.sys' from 'data/wp/wp.new'\nInterrupted run: 'data/wp/wp.new' is not the "
      "backup it made; if it holds the database as it was before that run, run kestol --recover\n";
  enum Move { stay, copy_with_times, copy_without_times, elsewhere };
  struct Case {
    const char* name;
    Move move;
    std::string refusal;  // empty: the next run recovers by itself
  } cases[] = {
      {"in place", stay, ""},
      {"copied with cp -a to another file system", copy_with_times, ""},
      {"run from another folder by an absolute base", elsewhere, ""},
      {"copied without times", copy_without_times, untimed},
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
    }
    RunResult next = run_scripted(*where, args, {});
    EXPECT_EQ(0, next.status) << c.name << "\n" << next.err;
    EXPECT_EQ(c.refusal.empty(), next.err.find("Previous run was interrupted: ") != std::string::npos)
        << c.name;
    EXPECT_TRUE(outcome(*site) == expected) << c.name;
    std::filesystem::remove(base_link);
  }
}

// Nothing but what a run appends is ever in question, and a run killed
// after its commit appends exactly once: after a line appended to mess.wp
// since, after the site moved away from an update file that stayed where
// the operator named it, and in a copy of the site that shares that
// update file with the original, which completed the run first.
TEST(FaultRun, AnInterruptedAppendLandsOnceAndNothingElseIsCut) {
  const std::string data = mixed_database(1500);
  const std::string since = "On 1261208 QZ9ZZ/U @ QQ1AA.QQ.EU zip 00000 Written since\n";
  enum Kind { appended_since, site_moved, shared_copy };
  struct Case {
    const char* name;
    Script kill;
    Kind kind;
  } cases[] = {
      {"before the commit, line appended since", kill_at_commit(), appended_since},
      {"in the append, line appended since", kill_in_append(), appended_since},
      {"site moved, update file left where it was named", kill_in_append(), site_moved},
      {"copy of the site sharing the update file", kill_in_append(), shared_copy},
  };
  for (const Case& c : cases) {
    Site outside(site_parent());  // the folder of the update file, outside the site
    auto prepare = [&](const Site& s) {
      s.write_init();
      s.write("data/wp/wp.sys", data);
      s.write("data/wp/mess.wp", "On 1261201 QA1BC/U @ QQ1AA.QQ.EU zip 75001 Ann Nowhere\n");
      std::ofstream(outside.path("updates.wp"), std::ios::binary) << std::string(kRecordSize, 'e');
    };
    std::vector<std::string> args = {"40", "90", outside.path("updates.wp"), "/NOC"};
    Outcome expected;
    {
      Site clean(site_parent());
      prepare(clean);
      ASSERT_EQ(0, run_scripted(clean, args, {}).status) << c.name;
      expected = {clean.read("data/wp/wp.sys"), clean.read("data/wp/mess.wp"), outside.read("updates.wp")};
    }
    Site p(site_parent());
    prepare(p);
    ASSERT_EQ(128 + SIGKILL, run_scripted(p, args, c.kill).status) << c.name;
    Site copy("/dev/shm");
    const Site* where = &p;
    if (c.kind == appended_since) {
      std::ofstream(p.path("data/wp/mess.wp"), std::ios::app) << since;
      expected.messages.insert(expected.messages.find('\n') + 1, since);
    } else {
      copy_site(p, copy, true);
      if (c.kind == site_moved) std::filesystem::remove_all(p.path("data"));
      if (c.kind == shared_copy) {
        ASSERT_EQ(0, run_scripted(p, args, {}).status);
      }
      where = &copy;
    }
    RunResult next = run_scripted(*where, args, {});
    EXPECT_EQ(0, next.status) << c.name << "\n" << next.err;
    EXPECT_TRUE(same_bytes(expected.database, where->read("data/wp/wp.sys"))) << c.name;
    EXPECT_TRUE(same_bytes(expected.messages, where->read("data/wp/mess.wp"))) << c.name << "\n" << next.err;
    EXPECT_TRUE(same_bytes(expected.updates, outside.read("updates.wp"))) << c.name;
  }
}

// Stop signals: before the journal is set they end the run with nothing
// touched, while it is set they undo the run, once it is committed the run
// completes; the process ends by the same signal, so its caller sees how
// it ended. A signal the caller ignores stays ignored.
TEST(FaultRun, SignalsUndoTheRunAndEndByTheSameSignal) {
  std::string data = mixed_database(1500);
  Outcome expected = clean_runs(data, true, false, kUpdateArgs).outcome;
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
      {"HUP while announcing", Call::write, "update.spool", 2, SIGHUP, 128 + SIGHUP, undone},
      {"TERM while committing", Call::fsync, "mess.spool", 1, SIGTERM, 128 + SIGTERM, undone},
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

// Where the kernel cannot copy between the two files, or its copy fails,
// the backup copy goes on by hand through the 16 KiB buffer; interrupted
// and short calls are retried. (Failures of every call of the copy are in
// the sweep above.)
TEST(FaultRun, TheBackupCopyFallsBackToReadAndWrite) {
  const Fault by_hand = {Call::copy_file_range, "wp.sys", 1, Action::fail, ENOSYS, true};
  std::string big((8 << 20) + 5 * 16384 + 77, 'r');  // more than one kernel copy of 8 MiB
  const Fault faults[] = {
      {Call::copy_file_range, "wp.sys", 1, Action::fail, EINTR},
      {Call::copy_file_range, "wp.sys", 1, Action::fail, EXDEV, true},
      {Call::copy_file_range, "wp.sys", 2, Action::fail, EIO},  // after a first chunk
      {Call::pread, "wp.sys", 2, Action::fail, EINTR},
      {Call::pwrite, "wp.new", 1, Action::shorten, 0, true},
  };
  for (const Fault& f : faults) {
    Prepared p(big);
    p.site.write("data/wp/wp.old", std::string(200000, 'o'));
    Script script;
    script.faults = {f};
    if (f.call != Call::copy_file_range) script.faults.push_back(by_hand);
    RunResult r = run_scripted(p.site, {"/NOC"}, script);
    EXPECT_EQ(0, r.status) << call_name(f.call) << "\n" << r.err;
    EXPECT_EQ(big, p.site.read("data/wp/wp.old")) << call_name(f.call);
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

// After each committed run wp.old.N is the database as it was before the
// Nth earlier committed run, up to --keep (default 3), with its mode. A run
// with a smaller --keep than the chain it finds refuses before touching
// anything; one with a larger --keep lets the chain grow.
TEST(Generations, EachKeepsAnEarlierStateAndNoneIsLostToASmallerKeep) {
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
  const auto before = files_but_lock(p.site);
  for (const char* keep : {"--keep=2", "--keep=0"}) {
    RunResult refused = run_scripted(p.site, {keep}, {});
    EXPECT_EQ(1, refused.status) << keep;
    EXPECT_EQ(std::string(kSettings) + "Backup 'data/wp/wp.old." + (keep[7] == '2' ? "3" : "1") +
                  "' is beyond " + keep +
                  ": run kestol with the site's own --keep, or remove the backups beyond "
                  "that number\n",
              refused.err);
    EXPECT_TRUE(before == files_but_lock(p.site)) << keep;
  }
  ASSERT_EQ(0, run_scripted(p.site, {"--keep=4"}, {}).status);
  EXPECT_TRUE(same_bytes(before.at("data/wp/wp.old.3"), generations(p.site)[4]));
}

// kestol --restore=N puts generation N back, and the database it replaced
// becomes wp.old, so that --restore=0 undoes it; the chain moves up as it
// is, whatever --keep the site's runs use; a generation that does not
// exist is refused with nothing touched; a restore killed or stopped is
// undone to the byte.
TEST(Generations, ARestoreCanItselfBeUndone) {
  Prepared p(day_database(1));
  for (int d = 2; d <= 6; ++d) {
    ASSERT_EQ(0, run_scripted(p.site, {"--keep=4"}, {}).status);
    p.site.write("data/wp/wp.sys", day_database(d));
  }
  // wp.sys: day 6; wp.old: day 5 ... wp.old.4: day 1.
  auto before = p.site.files();
  RunResult missing = run_scripted(p.site, {"--restore=5"}, {});
  EXPECT_EQ(2, missing.status);
  EXPECT_EQ(
      "\nKestol V 7.00b\n\nCannot find data/wp/wp.old.5\nkestol: data/wp/wp.old.5: No such file or "
      "directory\n",
      missing.err);
  EXPECT_TRUE(before == p.site.files());
  RunResult restored = run_scripted(p.site, {"--restore=1"}, {});
  EXPECT_EQ(0, restored.status);
  EXPECT_EQ("\nKestol V 7.00b\n\n'data/wp/wp.sys' restored from 'data/wp/wp.old.1'\n", restored.err);
  std::vector<std::string> expected = {day_database(6), day_database(5), day_database(4), day_database(3),
                                       day_database(2)};
  EXPECT_TRUE(same_bytes(day_database(4), p.site.read("data/wp/wp.sys")));
  EXPECT_TRUE(expected == generations(p.site));
  EXPECT_EQ("", p.site.read("data/wp/mess.wp"));  // announces nothing
  ASSERT_EQ(0, run_scripted(p.site, {"--restore=0"}, {}).status);
  EXPECT_TRUE(same_bytes(day_database(6), p.site.read("data/wp/wp.sys")));
  // Stopped while it restores a larger generation over a smaller database:
  // undone to the byte.
  p.site.write("data/wp/wp.sys", day_database(1));
  const auto unstopped = files_but_lock(p.site);
  RunResult stopped =
      run_scripted(p.site, {"--restore=1"}, one(Call::fsync, "wp.sys", 1, Action::signal, SIGTERM));
  EXPECT_EQ(128 + SIGTERM, stopped.status) << stopped.err;
  EXPECT_TRUE(unstopped == files_but_lock(p.site));
  // Killed or cut off at any call, over that database or into a missing
  // one (which takes the generation's mode): once --recover has run, every
  // file is as it was or as the restore leaves it, and a restore whose
  // last step was made durable has stayed done.
  chmod(p.site.path("data/wp/wp.old.1").c_str(), 0664);
  for (bool missing : {false, true}) {
    Site base(site_parent());
    copy_site(p.site, base, true);
    if (missing) std::filesystem::remove(base.path("data/wp/wp.sys"));
    Site done(site_parent());
    copy_site(base, done, true);
    std::vector<MadeCall> calls;
    Script logged;
    logged.log = &calls;
    ASSERT_EQ(0, run_scripted(done, {"--restore=1"}, logged).status);
    const auto as_was = files_but_lock(base);
    const auto restored = files_but_lock(done);
    int durable = 0;  // the call after which the restore must have stayed done
    for (int n = 1; n <= static_cast<int>(calls.size()); ++n) {
      if (calls[n - 1].call == Call::fsync && calls[n - 1].file == "wp") durable = n;
    }
    for (int n = 1; n <= static_cast<int>(calls.size()); ++n) {
      if (!changes_state(calls[n - 1].call)) continue;
      for (Action action : {Action::kill, Action::power}) {
        Site cut(site_parent());
        copy_site(base, cut, true);
        run_scripted(cut, {"--restore=1"}, one(Call::any, "", n, action, PowerCut::lost));
        ASSERT_EQ(0, run_scripted(cut, {"--recover"}, {}).status);
        auto now = files_but_lock(cut);
        now.erase("data/wp/wp.new");  // a copy a kill left behind: the next run replaces it
        std::string at =
            label(calls[n - 1].call, calls[n - 1].file, action == Action::kill ? "kill" : "power", n);
        EXPECT_TRUE(now == restored || (n <= durable && now == as_was)) << (missing ? "missing: " : "") << at;
      }
    }
    struct stat st;
    ASSERT_EQ(0, stat(done.path("data/wp/wp.sys").c_str(), &st));
    EXPECT_EQ(missing ? 0664u : 0644u, st.st_mode & 0777);
  }
}

// What makes a run refuse or undo itself whole, with every file as it was
// (the database, mess.wp, the update file, the generations; none made,
// none removed): more dropped than --max-drop allows, a lock another
// process holds on wp.sys, of either kind, or one of the run's working
// names that is not a regular file. At the limit or under it the run goes
// on.
TEST(Generations, TheDropLimitTheDatabaseLocksAndWorkingNames) {
  std::string data = mixed_database(700);  // every seventh expired: 100 of 700 dropped
  const std::string dropped = "\rRecord 700\n\nRun would delete 100 of 700 records: nothing changed\n";
  const std::string in_use = "Database 'data/wp/wp.sys' is in use\n";
  const std::string folder = "Cannot use 'data/wp/wp.add': it must be a regular file or absent\n";
  enum Obstacle { none, whole_file, record, add_folder };
  struct Case {
    const char* limit;
    Obstacle obstacle;
    bool announced;  // mess.wp and the update file there before
    int status;
    const std::string& message;
  } cases[] = {
      {"--max-drop=10", none, true, 4, dropped},  {"--max-drop=10", none, false, 4, dropped},
      {"--max-drop=15", none, true, 0, dropped},  {"--max-drop=0", none, true, 4, dropped},
      {"--max-drop=100", none, true, 0, dropped}, {"--keep=3", whole_file, true, 4, in_use},
      {"--keep=3", record, true, 4, in_use},      {"--keep=3", add_folder, true, 2, folder},
      {"--keep=3", record, false, 4, in_use},     {"--keep=3", add_folder, false, 2, folder},
  };
  for (const Case& c : cases) {
    Prepared p(data, c.announced);
    p.site.write("data/wp/wp.old", "yesterday");
    if (c.obstacle == add_folder) std::filesystem::create_directory(p.site.path("data/wp/wp.add"));
    auto before = files_but_lock(p.site);
    int fd = open(p.site.path("data/wp/wp.sys").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    int locked = c.obstacle == whole_file ? flock(fd, LOCK_EX)
                 : c.obstacle == record   ? lockf(fd, F_LOCK, 0)
                                          : 0;
    ASSERT_EQ(0, locked);
    std::vector<std::string> args = {c.limit};
    args.insert(args.end(), kUpdateArgs.begin(), kUpdateArgs.end());
    RunResult r = run_scripted(p.site, args, {});
    close(fd);
    EXPECT_EQ(c.status, r.status) << c.limit << c.obstacle << "\n" << r.err;
    if (c.status != 0) {
      EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.limit << c.obstacle << r.err;
      EXPECT_TRUE(before == files_but_lock(p.site)) << c.limit << c.obstacle;
      EXPECT_TRUE(
          std::filesystem::is_directory(p.site.path(c.obstacle == add_folder ? "data/wp/wp.add" : "data")));
    } else {
      EXPECT_EQ("yesterday", p.site.read("data/wp/wp.old.1")) << c.limit;
    }
  }
}

// Records appended to the database during a run are never cut off: they
// follow the rewritten records as they are, also when the run is undone
// or killed after they were moved. The first come before the move, the
// others while the move is under way, so it takes them in a second pass.
// A record the backup copy caught half-written is carried whole; a
// trailing part of a record that nobody completes is dropped as ever.
TEST(Generations, RecordsAppendedDuringTheRunAreKeptWhole) {
  std::string data = mixed_database(1500);
  Appending appending;
  const std::string& all = appending.all;
  std::string reviewed = clean_runs(data, false, false, {}).outcome.database;
  struct Case {
    const char* name;
    Call call;
    const char* file;
    int nth;
    Action action;
    int status;
    bool undone;
  } cases[] = {
      {"committed", Call::fsync, "nothing", 1, Action::kill, 0, false},
      {"undone", Call::fsync, "wp.sys", 1, Action::fail, 1, true},
      {"killed at the cut", Call::ftruncate, "wp.sys", 1, Action::kill, 128 + SIGKILL, true},
      {"killed before the second pass is journaled", Call::fsync, "wp.add", 2, Action::kill, 128 + SIGKILL,
       true},
  };
  for (const Case& c : cases) {
    Prepared p(data);
    Script script{appending.faults(p.site)};
    script.faults.push_back({c.call, c.file, c.nth, c.action, EIO});
    RunResult r = run_scripted(p.site, {}, script);
    EXPECT_EQ(c.status, r.status) << c.name << r.err;
    if (r.status == 128 + SIGKILL) {
      ASSERT_EQ(0, run_scripted(p.site, {"--recover"}, {}).status);
    }
    EXPECT_TRUE(same_bytes((c.undone ? data : reviewed) + all, p.site.read("data/wp/wp.sys"))) << c.name;
    EXPECT_FALSE(p.site.exists("data/wp/wp.add")) << c.name;
  }
  // A record torn by the backup copy: the copy caught 148 of its bytes,
  // the rest arrived before the commit, and the record is carried whole;
  // without the rest, the part is dropped. The power may fail once the
  // generations have moved, before the run ends.
  const std::string torn = all.substr(0, kRecordSize);
  for (int way = 0; way < 3; ++way) {
    bool completed = way != 1;
    Prepared p(data + torn.substr(0, 148));
    Appender rest{p.site.path("data/wp/wp.sys"), torn.substr(148)};
    Script script;
    if (completed) {
      script.faults.push_back({Call::fsync, "mess.spool", 1, Action::hook, 0, false, append_records, &rest});
    }
    if (way == 2) script.faults.push_back({Call::fsync, "mess.wp", 1, Action::power, PowerCut::lost});
    RunResult r = run_scripted(p.site, {}, script);
    if (way == 2) r = run_scripted(p.site, {"--recover"}, {});
    ASSERT_EQ(0, r.status) << way << r.err;
    EXPECT_TRUE(same_bytes(completed ? reviewed + torn : reviewed, p.site.read("data/wp/wp.sys"))) << way;
    // As a generation, the copy keeps the part only when nobody completed it.
    EXPECT_TRUE(same_bytes(completed ? data : data + torn.substr(0, 148), p.site.read("data/wp/wp.old")))
        << way;
  }
}
