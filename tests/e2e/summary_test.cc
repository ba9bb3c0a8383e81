// End to end: the summary on standard output and in kestol.res, and the
// failures of the backup copy.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

const char* const kHeader =
    "\nKestol V 7.00b\n\nUpdating white pages database    \n  Update time is 40 days\n"
    "  Delete time is 90 days\n\n126-12-08 - Saves WP.SYS file into WP.OLD file    \n\n";

std::string stdout_summary(long total, long updated, long deleted, long lines) {
  char text[400];
  std::snprintf(text, sizeof text,
                "\nWP updated : %5ld total records        \n           : %5ld updated record(s)    \n"
                "           : %5ld deleted record(s)    \n           : %5ld WP update line(s)    \n\n",
                total, updated, deleted, lines);
  return text;
}

std::string result_counts(long total, long updated, long deleted, long lines) {
  char text[400];
  std::snprintf(text, sizeof text,
                "WP updated : %5ld total record(s)      \n           : %5ld updated record(s)    \n"
                "           : %5ld deleted records(s)   \n           : %5ld WP update line(s)    \n\n",
                total, updated, deleted, lines);
  return text;
}

// Four kept (one promoted and announced), three dropped of which two
// count as deleted: the empty callsign has a last_update of 0.
std::string mixed_database() {
  std::vector<WpRecord> r;
  r.push_back(make_record("QA1AA", "QQ1AA.QQ.EU", kFrozenNow, kFrozenNow));
  r.push_back(make_record("QA1AB", "QQ1AA.QQ.EU", kFrozenNow, kFrozenNow));
  r.push_back(make_record("QA1AC", "QQ1AA.QQ.EU", kFrozenNow, kFrozenNow));
  WpRecord promoted = make_record("QA1AD", "QQ1AA.QQ.EU", kFrozenNow, 1000);
  std::strcpy(promoted.temp_zip, "75002");
  promoted.update_kind = 'U';
  r.push_back(promoted);
  r.push_back(make_record("QAB", "QQ1AA.QQ.EU", kFrozenNow, kFrozenNow));  // bad callsign
  r.push_back(make_record("QA1AE", "QQ1AA.QQ.EU", 0, 5));                  // expired
  r.push_back(make_record("", "QQ1AA.QQ.EU", kFrozenNow, 0));              // empty, last_update 0
  return records_bytes(r);
}

struct Prepared {
  Site site;
  std::string data;
  explicit Prepared(std::string bytes = mixed_database()) : data(std::move(bytes)) {
    site.write_init();
    site.write("data/wp/wp.sys", data);
  }
};

}  // namespace

TEST(Summary, BothReportsWithTheirOwnWording) {
  Prepared p;
  p.site.write("kestol.res", std::string(5000, 'x'));  // rewritten, not appended
  RunResult r = p.site.run({});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(std::string(kHeader) + "\rRecord 6\n\n", r.err);
  EXPECT_EQ(stdout_summary(6, 1, 2, 1), r.out);
  EXPECT_EQ("1796731200\n\n" + result_counts(6, 1, 2, 1) +
                "Start computing     : 126-12-08 12:00\nEnd computing       : 126-12-08 12:00\n",
            p.site.read("kestol.res"));
}

TEST(Summary, EveryFileTheRunLeaves) {
  Prepared p;
  RunResult r = p.site.run({"40", "90", "upd"});
  ASSERT_EQ(0, r.status);
  auto files = p.site.files();
  std::vector<std::string> names;
  for (const auto& [name, bytes] : files) names.push_back(name);
  EXPECT_EQ((std::vector<std::string>{"UPD", "data/wp/kestol.lck", "data/wp/mess.wp", "data/wp/wp.old",
                                      "data/wp/wp.sys", "init.srv", "kestol.res"}),
            names);
  EXPECT_EQ(p.data, files["data/wp/wp.old"]);
  EXPECT_EQ("", files["data/wp/kestol.lck"]);
  EXPECT_EQ(4 * kRecordSize, files["data/wp/wp.sys"].size());
  EXPECT_EQ(kRecordSize, files["UPD"].size());
  EXPECT_EQ("On 700101 QA1AD/U @ QQ1AA.QQ.EU zip 75002 ? ?\n", files["data/wp/mess.wp"]);
  struct stat st;
  ASSERT_EQ(0, stat(p.site.path("data/wp/wp.old").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST(Summary, CountsWiderThanFiveDigitsWidenTheField) {
  std::vector<WpRecord> records;
  for (int i = 0; i < 100123; ++i) {
    records.push_back(
        make_record(distinct_callsign(i).c_str(), "QQ1AA.QQ.EU", i < 100000 ? 0 : kFrozenNow, 7));
  }
  Prepared p(records_bytes(records));
  RunResult r = p.site.run({});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(stdout_summary(100123, 0, 100000, 0), r.out);
  EXPECT_EQ(0u, p.site.read("kestol.res").find("1796731200\n\n" + result_counts(100123, 0, 100000, 0)));
}

TEST(Summary, StampsFollowTheLocalTimeZoneAndTheRunningClock) {
  Prepared p;
  RunSettings cet;
  cet.tz = "CET-1";
  cet.clock = "2026-12-08 13:00:00";  // read in local time: the same instant
  EXPECT_EQ(0, p.site.run({}, cet).status);
  EXPECT_EQ("1796731200\n\n" + result_counts(6, 1, 2, 1) +
                "Start computing     : 126-12-08 13:00\nEnd computing       : 126-12-08 13:00\n",
            p.site.read("kestol.res"));

  // A clock that moves 40 seconds at every reading, from 23:59:00: the
  // start is read first, and the end stamp comes several readings later,
  // past midnight, however fast the machine runs. An emulator reads the
  // clock for itself as well, so there the count is not the tool's.
  if (through_runner()) GTEST_SKIP() << "the emulator's own clock readings move the stepping clock";
  RunSettings stepping;
  stepping.clock = "@2026-12-08 23:59:00 i40";
  EXPECT_EQ(0, p.site.run({}, stepping).status);
  std::string result = p.site.read("kestol.res");
  EXPECT_NE(std::string::npos, result.find("Start computing     : 126-12-08 23:59\n")) << result;
  EXPECT_NE(std::string::npos, result.find("End computing       : 126-12-09 ")) << result;
}

TEST(Summary, MissingResultFileDoesNotFailTheRun) {
  Prepared p;
  ASSERT_EQ(0, mkdir(p.site.path("kestol.res").c_str(), 0755));
  RunResult r = p.site.run({});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(stdout_summary(6, 1, 2, 1), r.out);
}

TEST(BackupCopy, OpenFailuresEndWithStatus2AndTouchNothing) {
  {
    Site site;  // no database: the last backup stays as it was
    site.write_init();
    site.write("data/wp/wp.old", "last good copy");
    RunResult r = site.run({});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(std::string(kHeader) +
                  "Cannot find data/wp/wp.sys\nkestol: data/wp/wp.sys: No such file or directory\n",
              r.err);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("last good copy", site.read("data/wp/wp.old"));
    EXPECT_FALSE(site.exists("data/wp/wp.sys"));
    EXPECT_FALSE(site.exists("kestol.res"));
  }
  {
    Prepared p;  // a backup that cannot be created
    ASSERT_EQ(0, mkdir(p.site.path("data/wp/wp.old").c_str(), 0755));
    RunResult r = p.site.run({});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(std::string(kHeader) + "Cannot create data/wp/wp.old\n", r.err);
    EXPECT_EQ(p.data, p.site.read("data/wp/wp.sys"));
  }
}

TEST(BackupCopy, FileSizeLimitMidCopy) {
  Prepared p(std::string(300000, 'x'));
  RunSettings limited;
  limited.file_size_limit = 100000;
  RunResult r = p.site.run({}, limited);
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(std::string(kHeader) + "kestol: data/wp/wp.new: File too large\n", r.err);  // the reason alone
  EXPECT_EQ(std::string(300000, 'x'), p.site.read("data/wp/wp.sys"));
  EXPECT_FALSE(p.site.exists("data/wp/wp.old"));
}

// Quiet: nothing on standard output or error but failures, with their
// reasons, and the notices of an interrupted run; kestol.res as ever.
TEST(Summary, QuietRunsWriteOnlyFailuresAndNotices) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    void (*prepare)(const Site&);
    int status;
    std::string err;
  } cases[] = {
      {"a run", {"-q"}, [](const Site&) {}, 0, ""},
      {"an interrupted run undone",
       {"--quiet"},
       [](const Site& s) {
         s.write("data/wp/wp.new", mixed_database());
         write_interrupted_journal(s);
       },
       0,
       "Previous run was interrupted: 'data/wp/wp.sys' restored from 'data/wp/wp.new'\n"},
      {"its drop limit",
       {"-q", "--max-drop=10"},
       [](const Site&) {},
       4,
       "Run would delete 3 of 7 records: nothing changed\n"},
      {"no base folder",
       {"-q"},
       [](const Site& s) { s.write_init("nowhere/"); },
       1,
       "Cannot create 'nowhere/wp/mess.wp'  \nkestol: nowhere/wp/mess.wp: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    Prepared p;
    c.prepare(p.site);
    RunResult r = p.site.run(c.args);
    EXPECT_EQ(c.status, r.status) << c.name;
    EXPECT_EQ(c.err, r.err) << c.name;
    EXPECT_EQ("", r.out) << c.name;
    bool written = p.site.exists("kestol.res") &&
                   p.site.read("kestol.res").find(result_counts(6, 1, 2, 1)) != std::string::npos;
    EXPECT_EQ(c.status == 0, written) << c.name;
  }
}
