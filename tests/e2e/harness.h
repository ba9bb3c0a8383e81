// End-to-end test harness: throw-away site directories, running the built
// binaries in them, and reading back everything they leave.
//
// The binaries are the ones built with the suite, or those named by
// KESTOL_E2E_KESTOL and KESTOL_E2E_WPTOOL, run through the command in
// KESTOL_E2E_RUNNER when it is set (an emulator for a cross-built tool).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "records/wp_record.h"

// The frozen clock most tests run under, and its value in seconds.
inline const char* const kFrozenClock = "2026-12-08 12:00:00";
constexpr std::int32_t kFrozenNow = 1796731200;

// What a run with the default day counts writes to standard error before
// its record loop, in parts, and the line of a recovered run.
inline const char* const kSettings =
    "\nKestol V 7.00b\n\nUpdating white pages database    \n  Update time is 40 days\n"
    "  Delete time is 90 days\n\n";
inline const char* const kSaves = "126-12-08 - Saves WP.SYS file into WP.OLD file    \n\n";
inline const char* const kRecovered =
    "Previous run was interrupted: 'data/wp/wp.sys' restored from 'data/wp/wp.old'\n";
// The same for a run that made its backup as wp.new (every run now).
inline const char* const kRecoveredNew =
    "Previous run was interrupted: 'data/wp/wp.sys' restored from 'data/wp/wp.new'\n";

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunSettings {
  std::string clock = kFrozenClock;  // libfaketime's FAKETIME ("@..." runs); empty: real clock
  std::string tz = "UTC0";
  std::vector<std::string> prefix;  // a wrapper such as strace and its options
  long file_size_limit = -1;        // RLIMIT_FSIZE in bytes
  bool close_output = false;        // start with descriptors 1 and 2 closed
  bool ignore_hangup = false;       // start with SIGHUP ignored, as nohup does
  bool broken_pipe = false;         // standard output and error a pipe nobody reads
  bool unprivileged = false;        // as root, run as kUnprivileged (give it the site with own_by)
};

// The user and group id unprivileged runs take.
constexpr int kUnprivileged = 65534;

inline std::string default_parent() { return std::filesystem::temp_directory_path().string(); }

// A temporary site: the working directory with init.srv and the base
// directory "data/" holding "wp/". Removed when the object goes.
class Site {
 public:
  // In a new folder below parent (by default the temporary folder).
  explicit Site(const std::string& parent = default_parent());
  ~Site();
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  // The usual init.srv: four lines of the owning system, then the base.
  void write_init(const std::string& base = "data/") const;
  void write(const std::string& relative, const std::string& bytes) const;
  std::string read(const std::string& relative) const;
  bool exists(const std::string& relative) const;
  // Every regular file below the site, by relative path, with its bytes.
  std::map<std::string, std::string> files() const;
  // Gives the site and everything in it to uid (a test run as root).
  void own_by(int uid) const;

  RunResult run(const std::vector<std::string>& args, const RunSettings& settings = {}) const;
  // Starts the tool without waiting; wait with wait_run.
  pid_t start(const std::vector<std::string>& args, const RunSettings& settings = {}) const;
  RunResult wait_run(pid_t pid) const;
  // Runs wptool with args in the site, as run does kestol.
  RunResult wptool(const std::vector<std::string>& args, const RunSettings& settings = {}) const;

 private:
  std::string root_;
  std::string output_dir_;
};

// Runs wptool with args in dir and answers its standard output.
std::string run_wptool(const std::vector<std::string>& args);

// Record building for tests.
std::string record_bytes(const WpRecord& record);
WpRecord make_record(const char* callsign, const char* home_bbs, std::int32_t last_seen,
                     std::int32_t last_update = 0);
std::string records_bytes(const std::vector<WpRecord>& records);

// Why runs with RunSettings::unprivileged cannot run here; nullptr when
// they can. As root they exec copies of the binaries in a temporary folder.
const char* unprivileged_runs_unavailable();

// Why the fault-injection tests, which run the tool under strace, cannot
// run here; nullptr when they can.
const char* fault_injection_unavailable();

// A database of n records where a run drops (every seventh, expired),
// promotes (every third) and announces (all but every thirteenth, of
// kinds U, G, I and X), so that its result differs from its input.
std::string mixed_database(int n);

// The arguments of runs with an update file, named last so that it is not
// upper-cased.
inline const std::vector<std::string> kUpdateArgs = {"40", "90", "updates.wp", "/NOC"};

// What a run leaves in the three files it writes.
struct Outcome {
  std::string database, messages, updates;
};
Outcome outcome(const Site& site);
bool operator==(const Outcome& a, const Outcome& b);

// Writes the journal of a run interrupted before its commit, whose backup
// is the site's wp.new as it stands, as a run writes it.
void write_interrupted_journal(const Site& site);
// The bytes of such a journal, for a backup of no particular file.
std::string interrupted_journal();

// Gives site's mess.wp and update file earlier announcements.
void announce_earlier(const Site& site);

// Copies the whole of from into to, as cp -a does or, without times, as a
// copy made an hour later that stamps every file with its own time.
void copy_site(const Site& from, const Site& to, bool with_times);

// Whether the binaries run through KESTOL_E2E_RUNNER (an emulator, whose
// start-up takes a good part of a second).
bool through_runner();

// A valid callsign, different for every index below 4569760: two letters,
// a digit, one or two letters.
std::string distinct_callsign(int i);

// Settings that make the nth call (or, with "+" after nth, every call from
// the nth on) of a system call on the site's relative path fail with
// error, through strace. The path is named both as the tool opens it and
// absolute, as strace sees it behind a descriptor.
RunSettings failing(const Site& site, const std::string& path, const std::string& call,
                    const std::string& error, const std::string& nth);

// Equal bytes; on a difference, says where and shows a little of each side
// rather than printing megabytes.
#include <gtest/gtest.h>
::testing::AssertionResult same_bytes(const std::string& expected, const std::string& actual);
