// End to end: command line, configuration, file opens, failure statuses and
// the record stream of a run.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/e2e/harness.h"

namespace {

const char* const kUsage =
    "\nKESTOL V 7.0b\n"
    "format  : KESTOL [upd-days [kill-days [update-file]]]\n"
    "defaults: upd-days = 40\n          kill-days= 90\n\n"
    "If temporary part is stable during \"upd-days\" days,\n"
    "temporary part updates main part of WP\n\n"
    "If the callsign is not seen during \"kill-days\" days,\n"
    "callsign is deleted from WP database\n\n"
    "\"update-file\" stores the WP records corresponding to the\n"
    "updates in a file which can be processed later (eg for statistics)\n\n";

const char* const kBanner = "\nKestol V 7.00b\n\n";

std::string settings_lines(int upd, int kill) {
  std::string text = "Updating white pages database    \n  Update time is " + std::to_string(upd) + " days\n";
  if (kill != 0) text += "  Delete time is " + std::to_string(kill) + " days\n\n";
  return text;
}

// Everything a run writes to standard error before the record loop.
std::string run_header(int upd = 40, int kill = 90) {
  return kBanner + settings_lines(upd, kill) + "126-12-08 - Saves WP.SYS file into WP.OLD file    \n\n";
}

// A database of n kept-looking records with distinct callsigns.
std::string database(int n) {
  std::vector<WpRecord> records;
  for (int i = 0; i < n; ++i) {
    char call[8];
    std::snprintf(call, sizeof call, "Q%dAB", i % 100);
    records.push_back(make_record(call, "QQ1AA.QQ.EU", kFrozenNow, kFrozenNow));
  }
  return records_bytes(records);
}

// A site holding init.srv and a database and its backup.
struct Prepared {
  Site site;
  std::string data;
  Prepared(int n = 3) : data(database(n)) {
    site.write_init();
    site.write("data/wp/wp.sys", data);
  }
};

}  // namespace

// /H shows the usage text on standard error; -h and --help, which are
// asked for by hand, on standard output (for a pager).
TEST(RunSpine, UsageOnRequestTouchesNothing) {
  for (const char* arg : {"/h", "/H", "-h", "-H", "--help", "--HELP"}) {
    Prepared p;
    auto before = p.site.files();
    RunResult r = p.site.run({arg, "30"});
    bool slash = arg[0] == '/';
    EXPECT_EQ(0, r.status) << arg;
    EXPECT_EQ(slash ? kUsage : "", r.err) << arg;
    // By hand, the options follow the usage text.
    EXPECT_EQ(slash ? "" : kUsage, r.out.substr(0, std::strlen(kUsage))) << arg;
    EXPECT_EQ(!slash, r.out.find("\n          --restore=N   put backup N back") != std::string::npos) << arg;
    EXPECT_EQ(before, p.site.files()) << arg;
  }
}

TEST(RunSpine, VersionOnStandardOutput) {
  Prepared p;
  auto before = p.site.files();
  RunResult r = p.site.run({"--version"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Kestol V 7.00b\n", r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(before, p.site.files());
}

// A mistyped argument is refused before the banner, touching nothing:
// an option kestol does not know, an option's value out of range, a day
// count that is not a number (the parser's tests have the other cases).
TEST(RunSpine, MistypedArgumentsAreRefusedBeforeAnything) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--dry-run"}, "Unknown option '--dry-run'\n"},
      {{"--keep=10"}, "Invalid option '--keep=10'\n"},
      {{"/NOC", "40", "90"}, "Invalid day count '/NOC'\n"},
  };
  for (const Case& c : cases) {
    Prepared p;
    auto before = p.site.files();
    RunResult r = p.site.run(c.args);
    std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(1, r.status) << label;
    EXPECT_EQ(c.err, r.err) << label;
    EXPECT_EQ("", r.out) << label;
    EXPECT_EQ(before, p.site.files()) << label;
    EXPECT_FALSE(p.site.exists("data/wp/kestol.lck")) << label;
  }
}

TEST(RunSpine, SettingsLinesShowTheClampedDayCounts) {
  struct Case {
    std::vector<std::string> args;
    int upd;
    int kill;
  } cases[] = {
      {{}, 40, 90},
      {{"30", "/NOC"}, 30, 90},
      {{"7", "0"}, 7, 0},  // no delete line
      {{"-5", "+12"}, -5, 12},
      {{"99999999999", "-99999999999"}, 2147483647, -2147483647 - 1},
  };
  for (const Case& c : cases) {
    Prepared p;
    RunResult r = p.site.run(c.args);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.err.find(run_header(c.upd, c.kill))) << r.err;
  }
}

TEST(RunSpine, StreamsEveryWholeRecordAndCountsProgress) {
  struct Case {
    int records;
    std::string progress;
  } cases[] = {
      {0, "\rRecord 0\n\n"},
      {3, "\rRecord 3\n\n"},
      {100, "\rRecord 100\rRecord 100\n\n"},
      {250, "\rRecord 100\rRecord 200\rRecord 250\n\n"},
  };
  for (const Case& c : cases) {
    Prepared p(c.records);
    p.site.write("data/wp/wp.old", "stale backup to be replaced");
    RunResult r = p.site.run({});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(run_header() + c.progress, r.err);
    EXPECT_EQ(p.data, p.site.read("data/wp/wp.sys"));
    EXPECT_EQ(p.data, p.site.read("data/wp/wp.old"));
    EXPECT_EQ("", p.site.read("data/wp/mess.wp"));
  }
}

TEST(RunSpine, TrailingPartialRecordIsNotWrittenBack) {
  Prepared p(2);
  p.site.write("data/wp/wp.sys", p.data + std::string(100, 'x'));
  RunResult r = p.site.run({});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(p.data, p.site.read("data/wp/wp.sys"));
}

TEST(RunSpine, BaseDirectoryIsLowerCasedAndCrLfIsCleaned) {
  Prepared p(1);
  p.site.write("init.srv", "# comment\r\n\r\nA\r\nB\r\nC\r\nD\r\nDATA/\r\nignored/\r\n");
  RunResult r = p.site.run({});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(p.data, p.site.read("data/wp/wp.sys"));
}

TEST(RunSpine, UpdateFileNameIsUpperCasedWhenLast) {
  Prepared p;
  EXPECT_EQ(0, p.site.run({"30", "60", "wpupd"}).status);
  EXPECT_TRUE(p.site.exists("WPUPD"));
  EXPECT_FALSE(p.site.exists("wpupd"));
  EXPECT_EQ(0, p.site.run({"30", "60", "wpupd", "/NOC"}).status);
  EXPECT_TRUE(p.site.exists("wpupd"));
}

TEST(RunSpine, ConfigurationFailures) {
  struct Case {
    const char* name;
    const char* init;  // nullptr: no init.srv
    std::string err;
  } cases[] = {
      {"no init.srv", nullptr,
       std::string(kBanner) + "Cannot open INIT.SRV     \nkestol: init.srv: No such file or directory\n"},
      {"four lines", "#x\n1\n2\n3\n4\n", std::string(kBanner) + "Cannot find base directory in INIT.SRV\n"},
  };
  for (const Case& c : cases) {
    Site site;
    if (c.init != nullptr) site.write("init.srv", c.init);
    site.write("data/wp/wp.sys", "db");
    auto before = site.files();
    RunResult r = site.run({});
    EXPECT_EQ(1, r.status) << c.name;
    EXPECT_EQ(c.err, r.err) << c.name;
    EXPECT_EQ("", r.out) << c.name;
    EXPECT_EQ(before, site.files()) << c.name;
  }
}

TEST(RunSpine, ClockBeyond2038IsRefusedBeforeAnyFile) {
  Prepared p;
  auto before = p.site.files();
  RunSettings late;
  late.clock = "2038-01-19 03:14:08";
  RunResult r = p.site.run({}, late);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(std::string(kBanner) + "System time out of range\n", r.err);
  EXPECT_EQ(before, p.site.files());
  late.clock = "2038-01-19 03:14:07";
  EXPECT_EQ(0, p.site.run({}, late).status);
}

TEST(RunSpine, UpdateFileNameTooLongWritesNothingElse) {
  Prepared p;
  auto before = p.site.files();
  RunResult r = p.site.run({"1", "2", std::string(256, 'u')});
  EXPECT_EQ(5, r.status);
  EXPECT_EQ("Update file name too long\n", r.err);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(before, p.site.files());
}

// A folder that does not exist, as root or not, fails the open of the
// first file the run needs there, with the system's reason: missing is
// not insecure.
TEST(RunSpine, MissingFoldersOfTheRunsFiles) {
  if (const char* why = unprivileged_runs_unavailable()) GTEST_SKIP() << why;
  const std::string missing = ": No such file or directory\n";
  struct Case {
    const char* name;
    const char* base;
    std::vector<std::string> args;
    bool as_root;
    int status;
    std::string err;
  } cases[] = {
      {"base",
       "nowhere/",
       {},
       false,
       1,
       kBanner + settings_lines(40, 90) + "Cannot create 'nowhere/wp/mess.wp'  \nkestol: nowhere/wp/mess.wp" +
           missing},
      {"update file's folder",
       "data/",
       {"1", "2", "nodir/upd", "/NOC"},
       false,
       5,
       run_header(1, 2) + "Cannot open 'nodir/upd'     \nkestol: nodir/upd" + missing},
  };
  for (const Case& c : cases) {
    for (bool as_root : {false, true}) {
      if (as_root && geteuid() != 0) continue;
      Prepared p;
      p.site.write_init(c.base);
      if (!as_root) p.site.own_by(kUnprivileged);
      RunSettings settings;
      settings.unprivileged = !as_root;
      RunResult r = p.site.run(c.args, settings);
      EXPECT_EQ(c.status, r.status) << c.name << as_root;
      EXPECT_EQ(c.err, r.err) << c.name << as_root;
      EXPECT_EQ(p.data, p.site.read("data/wp/wp.sys")) << c.name;
    }
  }
}
// A run that is not root's reaches its files through folders it may
// search but not list (mode 0711), as any path lookup does.
TEST(RunSpine, FoldersTheRunMaySearchButNotList) {
  if (geteuid() != 0) GTEST_SKIP() << "a folder of another user needs root";
  if (const char* why = unprivileged_runs_unavailable()) GTEST_SKIP() << why;
  // Lower case: the base is lower-cased.
  const std::string gate = "/tmp/kestol-e2e-gate-" + std::to_string(getpid());
  struct Case {
    const char* name;
    bool base_through_gate;
    bool update_file_through_gate;
  } cases[] = {
      {"base", true, false},
      {"update file", false, true},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(gate);
    ASSERT_EQ(0, mkdir(gate.c_str(), 0711));
    Prepared p;
    p.site.write("updates/old", "");
    p.site.own_by(kUnprivileged);
    ASSERT_EQ(0, symlink(p.site.path("data").c_str(), (gate + "/data").c_str()));
    ASSERT_EQ(0, symlink(p.site.path("updates").c_str(), (gate + "/updates").c_str()));
    if (c.base_through_gate) p.site.write_init(gate + "/data/");
    std::string update = (c.update_file_through_gate ? gate : p.site.root()) + "/updates/upd";
    RunSettings settings;
    settings.unprivileged = true;
    RunResult r = p.site.run({"40", "90", update, "/NOC"}, settings);
    EXPECT_EQ(0, r.status) << c.name << "\n" << r.err;
    EXPECT_TRUE(p.site.exists("data/wp/wp.old")) << c.name;
    EXPECT_TRUE(p.site.exists("updates/upd")) << c.name;
  }
  std::filesystem::remove_all(gate);
}

TEST(RunSpine, UpdateFileThatIsADatabaseFileIsRefused) {
  for (const char* name :
       {"data/wp/wp.sys", "data/wp/wp.old", "data/wp/wp.old.2", "data/wp/wp.new", "data/wp/mess.spool",
        "data/wp/mess.wp", "data/wp/kestol.lck", "./data/wp/../wp/wp.sys", "init.srv", "kestol.res"}) {
    Prepared p;
    p.site.write("data/wp/mess.wp", "");
    p.site.write("kestol.res", "last run's result\n");
    RunResult r = p.site.run({"1", "2", name, "/NOC"});
    EXPECT_EQ(5, r.status) << name;
    EXPECT_EQ(run_header(1, 2) + "Update file '" + name + "' is a database file\n", r.err) << name;
    EXPECT_EQ(p.data, p.site.read("data/wp/wp.sys")) << name;
    EXPECT_FALSE(p.site.exists("data/wp/wp.old")) << name;  // no generation made, none faked
    EXPECT_FALSE(p.site.exists("data/wp/wp.old.2")) << name;
    EXPECT_FALSE(p.site.exists("data/wp/wp.new")) << name;
  }
}

TEST(RunSpine, UpdateFileLinkedToTheDatabaseIsRefused) {
  Prepared p;
  ASSERT_EQ(0, link(p.site.path("data/wp/wp.sys").c_str(), p.site.path("UPD").c_str()));
  RunResult r = p.site.run({"1", "2", "upd"});  // upper-cased: UPD
  EXPECT_EQ(5, r.status);
  EXPECT_EQ(run_header(1, 2) + "Update file 'UPD' is a database file\n", r.err);
  EXPECT_EQ(p.data, p.site.read("data/wp/wp.sys"));
}

namespace {

// Sets an ACL with setfacl's options on a file of the site.
void acl(const Site& site, const std::string& options, const char* file) {
  ASSERT_EQ(0, std::system(("setfacl " + options + " " + site.path(file)).c_str())) << options;
}

// Nothing created in the database's folder: the run stopped before it.
bool untouched(const Site& s) { return !s.exists("data/wp/mess.wp") && !s.exists("data/wp/wp.old"); }

}  // namespace

// Files that are links, FIFOs or devices, folders others can write, closed
// standard descriptors and control bytes in records: none of them can turn
// a run against the machine or the files of the larger system.
TEST(RunSpine, RefusesWhatCouldTurnTheRunAgainstTheMachine) {
  const std::string settings = kBanner + settings_lines(40, 90);
  const std::string saves = "126-12-08 - Saves WP.SYS file into WP.OLD file    \n\n";
  const std::string victim = "a file of the machine\n";
  bool root = geteuid() == 0;
  struct Case {
    const char* name;
    void (*prepare)(const Site&);
    int status;
    std::string err;  // standard error, or empty to pass it over
    bool (*holds)(const Site&);
    bool needs_root;
    std::vector<std::string> args = {};
  } cases[] = {
      {"backup a symbolic link to the database",
       [](const Site& s) { ASSERT_EQ(0, symlink("wp.sys", s.path("data/wp/wp.old").c_str())); }, 2,
       settings + saves + "Backup 'data/wp/wp.old' is the database file\n",
       [](const Site& s) { return s.read("data/wp/wp.sys").size() == 3 * kRecordSize; }, false},
      {"backup a hard link to the database",
       [](const Site& s) {
         ASSERT_EQ(0, link(s.path("data/wp/wp.sys").c_str(), s.path("data/wp/wp.old").c_str()));
       },
       2, settings + saves + "Backup 'data/wp/wp.old' is the database file\n",
       [](const Site& s) { return s.read("data/wp/wp.sys").size() == 3 * kRecordSize; }, false},
      {"backup a symbolic link elsewhere",
       [](const Site& s) { ASSERT_EQ(0, symlink("../../victim", s.path("data/wp/wp.old").c_str())); }, 2,
       settings + saves + "Cannot create data/wp/wp.old\n",
       [](const Site& s) { return s.read("victim") == "a file of the machine\n"; }, false},
      {"lock a symbolic link elsewhere",
       [](const Site& s) { ASSERT_EQ(0, symlink("../../victim", s.path("data/wp/kestol.lck").c_str())); }, 4,
       settings + "Cannot create 'data/wp/kestol.lck'  \n",
       [](const Site& s) { return s.read("victim") == "a file of the machine\n"; }, false},
      {"mess.wp a symbolic link elsewhere",
       [](const Site& s) { ASSERT_EQ(0, symlink("../../victim", s.path("data/wp/mess.wp").c_str())); }, 1,
       settings + "Cannot create 'data/wp/mess.wp'  \n",
       [](const Site& s) { return s.read("victim") == "a file of the machine\n"; }, false},
      {"database a symbolic link to a secret",
       [](const Site& s) {
         s.write("secret", "a secret of the machine");
         ASSERT_EQ(0, unlink(s.path("data/wp/wp.sys").c_str()));
         ASSERT_EQ(0, symlink("../../secret", s.path("data/wp/wp.sys").c_str()));
       },
       2, settings + saves + "Cannot find data/wp/wp.sys\n",
       [](const Site& s) { return !s.exists("data/wp/wp.old"); }, false},
      {"database a device",
       [](const Site& s) {
         ASSERT_EQ(0, unlink(s.path("data/wp/wp.sys").c_str()));
         ASSERT_EQ(0, symlink("/dev/zero", s.path("data/wp/wp.sys").c_str()));
       },
       2, settings + saves + "Cannot find data/wp/wp.sys\n",
       [](const Site& s) { return !s.exists("data/wp/wp.old"); }, false},
      {"database a FIFO",
       [](const Site& s) {
         ASSERT_EQ(0, unlink(s.path("data/wp/wp.sys").c_str()));
         ASSERT_EQ(0, mkfifo(s.path("data/wp/wp.sys").c_str(), 0600));
       },
       2, settings + saves + "Cannot find data/wp/wp.sys\n",
       [](const Site& s) { return !s.exists("data/wp/wp.old"); }, false},
      {"init.srv a FIFO",
       [](const Site& s) {
         ASSERT_EQ(0, unlink(s.path("init.srv").c_str()));
         ASSERT_EQ(0, mkfifo(s.path("init.srv").c_str(), 0600));
       },
       1, std::string(kBanner) + "Cannot open INIT.SRV     \n",
       [](const Site& s) { return !s.exists("data/wp/wp.old"); }, false},
      {"init.srv a symbolic link to a regular file",
       [](const Site& s) {
         ASSERT_EQ(0, rename(s.path("init.srv").c_str(), s.path("data/init.srv").c_str()));
         ASSERT_EQ(0, symlink("data/init.srv", s.path("init.srv").c_str()));
       },
       0, "", [](const Site& s) { return s.exists("data/wp/wp.old"); }, false},
      {"result file a symbolic link elsewhere",
       [](const Site& s) { ASSERT_EQ(0, symlink("victim", s.path("kestol.res").c_str())); }, 0, "",
       [](const Site& s) { return s.read("victim") == "a file of the machine\n"; }, false},
      {"update file a symbolic link to the database",
       [](const Site& s) { ASSERT_EQ(0, symlink("data/wp/wp.sys", s.path("UPD").c_str())); }, 5, "",
       [](const Site& s) { return s.read("data/wp/wp.sys").size() == 3 * kRecordSize; }, false},
      {"standard output and error closed", [](const Site& s) { s.write("data/wp/mess.wp", ""); }, 0, "",
       [](const Site& s) {
         return s.read("data/wp/mess.wp").empty() && s.read("data/wp/kestol.lck").empty();
       },
       false},
      {"control bytes in a record",
       [](const Site& s) {
         WpRecord r = make_record("QA1BC", "QQ1AA.QQ.EU", kFrozenNow, kFrozenNow);
         std::strcpy(r.temp_location, "X\nOn 1 QX1X/U @\r\x1b");
         r.update_kind = 'U';
         s.write("data/wp/wp.sys", record_bytes(r));
       },
       0, "",
       [](const Site& s) {
         return s.read("data/wp/mess.wp") == "On 1261208 QA1BC/U @ QQ1AA.QQ.EU zip ? ? X?On 1 QX1X/U @??\n" &&
                s.read("data/wp/wp.sys").find("X\nOn 1 QX1X/U @\r\x1b") != std::string::npos;
       },
       false},
      {"database folder writable by others", [](const Site& s) { chmod(s.path("data/wp").c_str(), 0777); }, 4,
       settings + "Insecure directory 'data/wp/': run kestol as its owner\n",
       [](const Site& s) { return !s.exists("data/wp/mess.wp") && !s.exists("data/wp/wp.old"); }, true},
      {"base folder writable by its group",
       [](const Site& s) {
         chmod(s.path("data").c_str(), 0775);
         ASSERT_EQ(0, chown(s.path("data").c_str(), 0, 65534));
       },
       4, settings + "Insecure directory 'data/': run kestol as its owner\n",
       [](const Site& s) { return !s.exists("data/wp/mess.wp"); }, true},
      {"database folder owned by another user",
       [](const Site& s) { ASSERT_EQ(0, chown(s.path("data/wp").c_str(), 65534, 0)); }, 4,
       settings + "Insecure directory 'data/wp/': run kestol as its owner\n",
       [](const Site& s) { return !s.exists("data/wp/mess.wp"); }, true},
      {"folders writable by root's group only", [](const Site& s) { chmod(s.path("data/wp").c_str(), 0775); },
       0, "", [](const Site& s) { return s.exists("data/wp/wp.old"); }, true},
      {"ACL on the database folder", [](const Site& s) { acl(s, "-m u:65534:rwx", "data/wp"); }, 4,
       settings + "Insecure directory 'data/wp/': run kestol as its owner\n", untouched, true},
      {"ACL on the base folder", [](const Site& s) { acl(s, "-m g:65534:rwx", "data"); }, 4,
       settings + "Insecure directory 'data/': run kestol as its owner\n", untouched, true},
      {"default ACL on the database folder", [](const Site& s) { acl(s, "-d -m u:65534:rw", "data/wp"); }, 4,
       settings + "Insecure directory 'data/wp/': run kestol as its owner\n", untouched, true},
      {"ACL that its mask takes write from",
       [](const Site& s) { acl(s, "-m u:65534:rwx,m::r-x", "data/wp"); }, 0, "",
       [](const Site& s) { return s.exists("data/wp/wp.old"); }, true},
      {"base reached through another user's link",
       [](const Site& s) {
         ASSERT_EQ(0, symlink("data", s.path("bbs").c_str()));
         ASSERT_EQ(0, lchown(s.path("bbs").c_str(), 65534, 65534));
         s.write_init("bbs/");
       },
       4, settings + "Insecure directory 'bbs/': run kestol as its owner\n", untouched, true},
      {"base reached through root's link",
       [](const Site& s) {
         ASSERT_EQ(0, symlink("data", s.path("bbs").c_str()));
         s.write_init("bbs/");
       },
       0, "", [](const Site& s) { return s.exists("data/wp/wp.old"); }, true},
      {"folder above the base another user's",
       [](const Site& s) {
         ASSERT_EQ(0, mkdir(s.path("other").c_str(), 0755));
         ASSERT_EQ(0, rename(s.path("data").c_str(), s.path("other/data").c_str()));
         ASSERT_EQ(0, chown(s.path("other").c_str(), 65534, 65534));
         s.write_init("other/data/");
       },
       4, settings + "Insecure directory 'other/': run kestol as its owner\n",
       [](const Site& s) { return !s.exists("other/data/wp/wp.old"); }, true},
      {"working directory another user's",
       [](const Site& s) { ASSERT_EQ(0, chown(s.root().c_str(), 65534, 65534)); }, 4,
       std::string(kBanner) + "Insecure directory '" +
           std::filesystem::canonical(std::filesystem::temp_directory_path()).string() + "/" + "*",
       untouched, true},
      {"base without its separator: the folders of the files",
       [](const Site& s) {  // the base names no folder; sub/bbswp/ holds the files
         ASSERT_EQ(0, mkdir(s.path("sub").c_str(), 0777));
         ASSERT_EQ(0, rename(s.path("data/wp").c_str(), s.path("sub/bbswp").c_str()));
         chmod(s.path("sub").c_str(), 0777);
         s.write_init("sub/bbs");
       },
       4, settings + "Insecure directory 'sub/': run kestol as its owner\n",
       [](const Site& s) { return !s.exists("sub/bbswp/wp.old"); }, true},
      {"init.srv another user's link to a device, in another user's working directory",
       [](const Site& s) {
         ASSERT_EQ(0, unlink(s.path("init.srv").c_str()));
         ASSERT_EQ(0, symlink("/dev/null", s.path("init.srv").c_str()));
         ASSERT_EQ(0, lchown(s.path("init.srv").c_str(), 65534, 65534));
         ASSERT_EQ(0, chown(s.root().c_str(), 65534, 65534));
       },
       4, "", untouched, true},
      {"init.srv another user's link",
       [](const Site& s) {
         ASSERT_EQ(0, rename(s.path("init.srv").c_str(), s.path("data/init.srv").c_str()));
         ASSERT_EQ(0, symlink("data/init.srv", s.path("init.srv").c_str()));
         ASSERT_EQ(0, lchown(s.path("init.srv").c_str(), 65534, 65534));
       },
       4, std::string(kBanner) + "Insecure file 'init.srv': run kestol as its owner\n", untouched, true},
      {"init.srv another user's file",
       [](const Site& s) { ASSERT_EQ(0, chown(s.path("init.srv").c_str(), 65534, 65534)); }, 4,
       std::string(kBanner) + "Insecure file 'init.srv': run kestol as its owner\n", untouched, true},
      {"init.srv writable by others", [](const Site& s) { chmod(s.path("init.srv").c_str(), 0666); }, 4,
       std::string(kBanner) + "Insecure file 'init.srv': run kestol as its owner\n", untouched, true},
      {"init.srv root's link into another user's folder",
       [](const Site& s) {
         ASSERT_EQ(0, mkdir(s.path("other").c_str(), 0755));
         ASSERT_EQ(0, rename(s.path("init.srv").c_str(), s.path("other/init.srv").c_str()));
         ASSERT_EQ(0, chown(s.path("other").c_str(), 65534, 65534));
         ASSERT_EQ(0, symlink("other/init.srv", s.path("init.srv").c_str()));
       },
       4, "", untouched, true},
      {"deep folder of the update file",
       [](const Site& s) {
         std::string deep = s.path("long");
         for (int i = 0; i < 5; ++i) deep += "/" + std::string(230, 'x');  // 1150 bytes below the site
         std::filesystem::create_directories(deep);
         ASSERT_EQ(0, symlink(deep.c_str(), s.path("deep").c_str()));
       },
       0,
       "",
       [](const Site& s) { return s.exists("deep/upd"); },
       false,
       {"40", "90", "deep/upd", "/NOC"}},
      {"update file in another user's folder",
       [](const Site& s) {
         ASSERT_EQ(0, mkdir(s.path("drop").c_str(), 0755));
         ASSERT_EQ(0, chown(s.path("drop").c_str(), 65534, 65534));
       },
       5,
       settings + "Insecure directory 'drop/': run kestol as its owner\n",
       untouched,
       true,
       {"40", "90", "drop/upd", "/NOC"}},
      {"update file another user's link",
       [](const Site& s) {
         ASSERT_EQ(0, symlink("victim", s.path("upd").c_str()));
         ASSERT_EQ(0, lchown(s.path("upd").c_str(), 65534, 65534));
       },
       5,
       settings + "Insecure file 'upd': run kestol as its owner\n",
       untouched,
       true,
       {"40", "90", "upd", "/NOC"}},
      {"update file a link into another user's folder",
       [](const Site& s) {
         ASSERT_EQ(0, mkdir(s.path("drop").c_str(), 0755));
         ASSERT_EQ(0, symlink("../../victim", s.path("drop/upd").c_str()));
         ASSERT_EQ(0, chown(s.path("drop").c_str(), 65534, 65534));
         ASSERT_EQ(0, symlink("drop/upd", s.path("upd").c_str()));
       },
       5,
       "",
       untouched,
       true,
       {"40", "90", "upd", "/NOC"}},
  };
  for (const Case& c : cases) {
    if (c.needs_root && !root) continue;
    Prepared p;
    p.site.write("victim", victim);
    c.prepare(p.site);
    RunSettings run_settings;
    run_settings.close_output = std::strcmp(c.name, "standard output and error closed") == 0;
    std::vector<std::string> args = c.args;
    if (args.empty() && std::strncmp(c.name, "update file", 11) == 0) args = {"40", "90", "UPD"};
    if (std::strstr(c.name, "ACL") != nullptr && std::system("command -v setfacl >/dev/null") != 0) continue;
    RunResult r = p.site.run(args, run_settings);
    EXPECT_EQ(c.status, r.status) << c.name << "\n" << r.err;
    if (!c.err.empty() && c.err.back() == '*') {
      EXPECT_EQ(0u, r.err.find(c.err.substr(0, c.err.size() - 1))) << c.name << "\n" << r.err;
    } else if (!c.err.empty()) {
      EXPECT_EQ(c.err, r.err) << c.name;
    }
    EXPECT_TRUE(c.holds(p.site)) << c.name;
    EXPECT_EQ(victim, p.site.read("victim")) << c.name;
  }
}
