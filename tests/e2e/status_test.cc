// End to end: wptool's status line for monitoring systems, read from the
// files a run leaves, and wptool's own command line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

// kestol.res as a run that started at start writes it.
std::string result_file(std::int32_t start) {
  return std::to_string(start) +
         "\n\nWP updated :  1996 total record(s)      \n           :    95 updated record(s)    \n"
         "           :  1446 deleted records(s)   \n           :   114 WP update line(s)    \n\n"
         "Start computing     : 126-12-08 09:00\nEnd computing       : 126-12-08 09:01\n";
}

const char* const kCounts = " total=1996 updated=95 deleted=1446 lines=114";

}  // namespace

TEST(Status, OneLineWithPerformanceDataReadingOnly) {
  constexpr std::int32_t kHour = 3600;
  const std::string three_hours = result_file(kFrozenNow - 3 * kHour);
  const std::string journal = interrupted_journal();
  const std::string at_nine = "last run 3h ago at 2026-12-08 09:00, 10 records";
  const std::string age = " | age=10800s;93600;180000 records=";
  const std::string perf = age + "10;;1:" + kCounts;
  struct Case {
    std::vector<std::string> args;
    std::string result;  // kestol.res; empty: none
    std::string lock;    // kestol.lck; "-": none
    bool held;           // a run holds the lock
    int status;
    std::string line;
    int records = 10;  // in wp.sys
    int backup = -1;   // records in wp.old; -1: none, -2: a folder
  } cases[] = {
      // clang-format off
      {{}, three_hours, "", false, 0, "KESTOL OK - " + at_nine + perf},
      {{}, three_hours, "-", false, 0, "KESTOL OK - " + at_nine + perf},
      {{}, result_file(kFrozenNow - 26 * kHour - 1), "", false, 1,
       "KESTOL WARNING - last run 26h ago at 2026-12-07 09:59, 10 records | age=93601s;93600;180000 "
       "records=10;;1:" + std::string(kCounts)},
      {{}, result_file(kFrozenNow - 50 * kHour), "", false, 1,
       "KESTOL WARNING - last run 2d ago at 2026-12-06 10:00, 10 records | age=180000s;93600;180000 "
       "records=10;;1:" + std::string(kCounts)},
      {{}, result_file(kFrozenNow - 50 * kHour - 1), "", false, 2,
       "KESTOL CRITICAL - last run 2d ago at 2026-12-06 09:59, 10 records | age=180001s;93600;180000 "
       "records=10;;1:" + std::string(kCounts)},
      {{"--warning=2", "--critical=3"}, three_hours, "", false, 1,
       "KESTOL WARNING - " + at_nine + " | age=10800s;7200;10800 records=10;;1:" + kCounts},
      {{"-w", "2", "-c3"}, three_hours, "", false, 1,
       "KESTOL WARNING - " + at_nine + " | age=10800s;7200;10800 records=10;;1:" + kCounts},
      {{"--critical", "3", "--warning", "3"}, three_hours, "", false, 0,
       "KESTOL OK - " + at_nine + " | age=10800s;10800;10800 records=10;;1:" + kCounts},
      {{"-w", "51"}, three_hours, "", false, 3,
       "KESTOL UNKNOWN - warning limit 51h above the critical limit 50h"},
      {{"-w"}, three_hours, "", false, 3, "KESTOL UNKNOWN - no value for --warning"},
      {{"-V", "--bad"}, "", "", false, 0, "wptool (Kestol) 7.00b"},
      {{}, result_file(kFrozenNow + 60), "", false, 1,
       "KESTOL WARNING - last run at 2026-12-08 12:01, in the future, 10 records | age=-60s;93600;180000 "
       "records=10;;1:" + std::string(kCounts)},
      {{}, "", "", false, 2, "KESTOL CRITICAL - no result file 'kestol.res', 10 records | records=10;;1:"},
      {{}, "1796731200\n\nWP updated :", "", false, 2,
       "KESTOL CRITICAL - no run result in 'kestol.res', 10 records | records=10;;1:"},
      {{}, three_hours, journal, false, 2,
       "KESTOL CRITICAL - " + at_nine + ", journal of an interrupted run pending in "
       "'data/wp/kestol.lck'" + perf},
      {{}, three_hours, journal, true, 0, "KESTOL OK - " + at_nine + ", run in progress" + perf},
      {{"--critical=50h"}, three_hours, "", false, 3, "KESTOL UNKNOWN - bad value '50h' for --critical"},
      {{"--warnings=5"}, three_hours, "", false, 3, "KESTOL UNKNOWN - bad argument '--warnings=5'"},
      {{"--directory=data"}, three_hours, "", false, 3, "KESTOL UNKNOWN - cannot open init.srv"},
      {{"--directory=none"}, three_hours, "", false, 3, "KESTOL UNKNOWN - cannot enter 'none'"},
      {{}, three_hours, "", false, 2,
       "KESTOL CRITICAL - last run 3h ago at 2026-12-08 09:00, 0 records, below the minimum of 1, shrunk "
       "100.0% from the 20 of 'data/wp/wp.old'" + age + "0;;1: shrink=100.0%;;50" + kCounts, 0, 20},
      {{"--min-records=0", "--max-shrink", "100"}, three_hours, "", false, 0,
       "KESTOL OK - last run 3h ago at 2026-12-08 09:00, 0 records" + age + "0;;0: shrink=100.0%;;100" +
       kCounts, 0, 20},
      {{"--min-records", "11"}, three_hours, "", false, 2,
       "KESTOL CRITICAL - " + at_nine + ", below the minimum of 11" + age + "10;;11: shrink=0.0%;;50" +
       kCounts, 10, 5},
      {{}, three_hours, "", false, 0, "KESTOL OK - " + at_nine + age + "10;;1: shrink=50.0%;;50" + kCounts,
       10, 20},
      {{"--max-shrink=49"}, three_hours, "", false, 2,
       "KESTOL CRITICAL - " + at_nine + ", shrunk 50.0% from the 20 of 'data/wp/wp.old'" + age +
       "10;;1: shrink=50.0%;;49" + kCounts, 10, 20},
      {{}, three_hours, "", false, 2,
       "KESTOL CRITICAL - " + at_nine + ", shrunk 66.7% from the 30 of 'data/wp/wp.old'" + age +
       "10;;1: shrink=66.7%;;50" + kCounts, 10, 30},
      {{}, three_hours, "", false, 3,
       "KESTOL UNKNOWN - " + at_nine + ", cannot read 'data/wp/wp.old'" + age + "10;;1:" + kCounts, 10, -2},
      // clang-format on
  };
  for (const Case& c : cases) {
    Site site;
    site.write_init();
    site.write("data/wp/wp.sys", std::string(c.records * 194 + 7, 'x'));
    if (c.backup >= 0) site.write("data/wp/wp.old", std::string(c.backup * 194 + 193, 'o'));
    if (c.backup == -2) {
      ASSERT_EQ(0, mkdir(site.path("data/wp/wp.old").c_str(), 0755));
    }
    if (!c.result.empty()) site.write("kestol.res", c.result);
    if (c.lock != "-") site.write("data/wp/kestol.lck", c.lock);
    int run = -1;
    if (c.held) {
      run = open(site.path("data/wp/kestol.lck").c_str(), O_RDWR);
      struct flock lock = {};
      lock.l_type = F_WRLCK;
      ASSERT_EQ(0, fcntl(run, F_OFD_SETLK, &lock));
    }
    auto before = site.files();
    std::vector<std::string> args = {"status"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = site.wptool(args);
    if (run >= 0) close(run);
    EXPECT_EQ(c.status, r.status) << c.line;
    EXPECT_EQ(c.line + "\n", r.out);
    EXPECT_EQ(before, site.files()) << c.line;
    EXPECT_EQ(c.lock != "-", site.exists("data/wp/kestol.lck")) << c.line;
  }
  Site wiped;  // after a run with a delete time of 0 days, which drops every station
  wiped.write_init();
  const std::int32_t yesterday = kFrozenNow - 86400;
  wiped.write("data/wp/wp.sys", records_bytes({make_record("QQ2BB", "QQ1AA.QQ.EU", yesterday, yesterday),
                                               make_record("QQ3CC", "QQ1AA.QQ.EU", yesterday, yesterday)}));
  ASSERT_EQ(0, wiped.run({"40", "0"}).status);
  RunResult after = wiped.wptool({"status"});
  EXPECT_EQ(2, after.status);
  EXPECT_EQ(
      "KESTOL CRITICAL - last run 0s ago at 2026-12-08 12:00, 0 records, below the minimum of 1, "
      "shrunk 100.0% from the 2 of 'data/wp/wp.old' | age=0s;93600;180000 records=0;;1: "
      "shrink=100.0%;;50 total=2 updated=0 deleted=2 lines=0\n",
      after.out);
  Site bare;  // with no database
  bare.write_init();
  EXPECT_EQ("KESTOL CRITICAL - no result file 'kestol.res', no database 'data/wp/wp.sys'\n",
            bare.wptool({"status"}).out);
}

TEST(WptoolCommandLine, HelpVersionAndNamedBadArguments) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string head;  // of standard output with status 0, else of standard error
  } cases[] = {
      {{"--version"}, 0, "wptool (Kestol) 7.00b\n"},
      {{"-h"}, 0, "usage: wptool dump FILE\n"},
      {{"--help"}, 0, "usage: wptool dump FILE\n"},
      {{"gen", "5000", "1", "2200000000"}, 2, "wptool: bad time '2200000000'\nusage: wptool dump FILE\n"},
      {{"gen", "-1"}, 2, "wptool: bad record count '-1'\n"},
      {{"dump"}, 2, "wptool: wrong number of arguments for 'dump'\n"},
      {{"list"}, 2, "wptool: unknown command 'list'\n"},
      {{}, 2, "usage: wptool dump FILE\n"},
  };
  Site site;
  for (const Case& c : cases) {
    RunResult r = site.wptool(c.args);
    EXPECT_EQ(c.status, r.status) << c.head;
    EXPECT_EQ(c.head, (c.status == 0 ? r.out : r.err).substr(0, c.head.size()));
    EXPECT_EQ("", c.status == 0 ? r.err : r.out) << c.head;
  }
}
