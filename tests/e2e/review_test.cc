// End to end: what a run keeps, drops, promotes and announces, byte for
// byte, under a frozen clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

constexpr std::int32_t kDay = 86400;
constexpr std::int32_t kKill = kFrozenNow - 90 * kDay;    // default kill threshold
constexpr std::int32_t kUpdate = kFrozenNow - 40 * kDay;  // default update threshold

const char* const kHeader =
    "\nKestol V 7.00b\n\nUpdating white pages database    \n  Update time is 40 days\n"
    "  Delete time is 90 days\n\n126-12-08 - Saves WP.SYS file into WP.OLD file    \n\n";

const char* const kPreviewUsage =
    "usage: wptool preview [upd-days [kill-days [update-file]]] [/NOC] [--at TIME]\n";

WpRecord station(const char* callsign, std::int32_t last_seen = kFrozenNow,
                 std::int32_t last_update = kFrozenNow) {
  WpRecord r = make_record(callsign, "QQ1AA.QQ.EU", last_seen, last_update);
  std::strcpy(r.name, "Ann");
  std::strcpy(r.zip, "75001");
  std::strcpy(r.temp_zip, "75001");
  std::strcpy(r.location, "Nowhere");
  std::strcpy(r.temp_location, "Nowhere");
  return r;
}

WpRecord with_route(WpRecord r, const char* route) {
  std::memset(r.home_bbs, 0, sizeof r.home_bbs);
  std::strcpy(r.home_bbs, route);
  return r;
}

WpRecord with_kind(WpRecord r, unsigned char kind) {
  r.update_kind = kind;
  return r;
}

struct Site3 {
  Site site;
  explicit Site3(const std::string& records) {
    site.write_init();
    site.write("data/wp/wp.sys", records);
  }
};

}  // namespace

TEST(Review, KeepsDropsAndNormalises) {
  WpRecord suffixed = station("QA1BC");
  std::memcpy(suffixed.callsign, "qa1bc-1", 7);  // fills the field, no NUL
  WpRecord suffixed_out = suffixed;
  std::memcpy(suffixed_out.callsign, "QA1BC\0\0", 7);

  WpRecord portable = station("QA1B");
  std::memcpy(portable.callsign, "QA1B/P", 7);
  WpRecord portable_out = portable;
  std::memcpy(portable_out.callsign, "QA1B\0P", 7);

  WpRecord full_name = station("QD2XY");
  std::memset(full_name.name, 'N', sizeof full_name.name);
  full_name.reserved_20 = 0xa5;
  full_name.reserved_22[0] = 0x01;
  full_name.reserved_22[1] = 0xfe;
  WpRecord full_name_out = full_name;
  full_name_out.name[12] = '\0';

  WpRecord lower = station("qq12ab");
  WpRecord lower_out = station("QQ12AB");

  std::vector<WpRecord> in = {
      suffixed,
      portable,
      full_name,
      lower,
      station("1Q"),                      // too short
      station("QAB"),                     // no digit
      station("1A2B3C"),                  // three digits
      station("QA1BC2"),                  // ends in a digit
      station(" QA1BC"),                  // empty once cut
      with_route(station("QB1AA"), ""),   // no route
      with_route(station("QB1AB"), "?"),  // unknown route
      with_route(station("QB1AC"), "?QQ1AA.QQ"),
      with_route(station("QB1AD"), "QA1BCDE.QQ"),                       // 7-character component
      with_route(station("QB1AE"), "QA.QQ.AB.CD.EF.GH.IJ.KL.MN.OP.Q"),  // 31 characters
      with_route(station("QB1AF"), "QA1BC.QQ.AB.CD.EF.GH.IJ.KL.MNO"),   // 30 characters
      station("QC1AA", kKill),                                          // at the kill threshold: kept
      station("QC1AB", kKill - 1),                                      // just before it: dropped
  };
  std::vector<WpRecord> out = {suffixed_out, portable_out, full_name_out, lower_out, in[14], in[15]};
  Site3 s(records_bytes(in));
  // The preview names the rule that drops each record, and the callsign as
  // the file holds it.
  RunResult preview = s.site.wptool({"preview"});
  RunResult r = s.site.run({});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(kHeader + std::string("\rRecord 16\n\n"), r.err);  // " QA1BC" cuts to empty
  EXPECT_EQ(0, preview.status);
  EXPECT_EQ("", preview.err);
  EXPECT_EQ(
      "drop\t4\t1Q\tcallsign\n"
      "drop\t5\tQAB\tcallsign\n"
      "drop\t6\t1A2B3C\tcallsign\n"
      "drop\t7\tQA1BC2\tcallsign\n"
      "drop\t8\t QA1BC\tcallsign\n"
      "drop\t9\tQB1AA\tmissing home route\n"
      "drop\t10\tQB1AB\tmissing home route\n"
      "drop\t11\tQB1AC\tmissing home route\n"
      "drop\t12\tQB1AD\troute shape\n"
      "drop\t13\tQB1AE\troute shape\n"
      "drop\t16\tQC1AB\tnot seen since 2026-09-09 11:59:59\n" +
          r.out,
      preview.out);
  EXPECT_TRUE(same_bytes(records_bytes(out), s.site.read("data/wp/wp.sys")));
  EXPECT_EQ("", s.site.read("data/wp/mess.wp"));

  // Without the route check the two badly shaped routes stay.
  Site3 noc(records_bytes(in));
  RunResult rn = noc.site.run({"/NOC"});
  EXPECT_EQ(0, rn.status);
  out.insert(out.begin() + 4, {in[12], in[13]});
  EXPECT_TRUE(records_bytes(out) == noc.site.read("data/wp/wp.sys"));
}

TEST(Review, PromotesStableTemporaryPartsAndAnnouncesUpdates) {
  WpRecord moved = station("QE1AA", kFrozenNow, kUpdate - 1);
  std::strcpy(moved.temp_home_bbs, "QQ2BB.QQ.EU");
  std::strcpy(moved.temp_zip, "");
  moved.update_kind = 'U';
  WpRecord moved_out = moved;
  std::strcpy(moved_out.home_bbs, "QQ2BB.QQ.EU");
  moved_out.zip[0] = '\0';  // "75001" -> "" leaves "\0" "5001"
  moved_out.update_kind = 0;

  WpRecord at_threshold = station("QE1AB", kFrozenNow, kUpdate);  // not yet stable
  std::strcpy(at_threshold.temp_location, "Elsewhere");
  at_threshold.update_kind = 'G';

  WpRecord same = station("QE1AC", kFrozenNow, 0);  // old, but nothing differs
  same.update_kind = 'I';

  WpRecord other_kind = station("QE1AD");
  other_kind.update_kind = 'X';

  WpRecord dropped = station("QE1AE", 0);
  dropped.update_kind = 'U';

  std::vector<WpRecord> in = {moved,      at_threshold, same,
                              other_kind, dropped,      with_kind(station("qe1af"), 'u')};
  std::vector<WpRecord> out = {moved_out, with_kind(at_threshold, 0), with_kind(same, 0),
                               with_kind(other_kind, 0), with_kind(station("QE1AF"), 0)};
  // The update file gets each kept record with its kind still set, as the
  // review left it.
  std::vector<WpRecord> announced = {with_kind(moved_out, 'U'), at_threshold, same, other_kind,
                                     with_kind(station("QE1AF"), 'u')};
  Site3 s(records_bytes(in));
  s.site.write("data/wp/mess.wp", "earlier line\n");
  RunResult r = s.site.run({"40", "90", "upd.wp", "/NOC"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(kHeader + std::string("\rRecord 6\n\n"), r.err);
  EXPECT_TRUE(same_bytes(records_bytes(out), s.site.read("data/wp/wp.sys")));
  EXPECT_TRUE(records_bytes(announced) == s.site.read("upd.wp"));
  EXPECT_EQ(
      "earlier line\n"
      "On 1261029 QE1AA/U @ QQ2BB.QQ.EU zip ? Ann Nowhere\n"
      "On 1261029 QE1AB/G @ QQ1AA.QQ.EU zip 75001 Ann Elsewhere\n"
      "On 700101 QE1AC/I @ QQ1AA.QQ.EU zip 75001 Ann Nowhere\n",
      s.site.read("data/wp/mess.wp"));

  // A second run appends to the update file; nothing is pending any more.
  Site3 again(records_bytes(in));
  again.site.write("upd.wp", "x");
  EXPECT_EQ(0, again.site.run({"40", "90", "upd.wp", "/NOC"}).status);
  EXPECT_TRUE("x" + records_bytes(announced) == again.site.read("upd.wp"));
}

TEST(Review, DayCountsMoveTheThresholds) {
  struct Case {
    std::vector<std::string> args;
    std::int32_t last_seen;
    std::int32_t last_update;
    bool kept;
    bool promoted;
  } cases[] = {
      {{"40", "0"}, kFrozenNow, kFrozenNow, true, false},       // seen at the start time
      {{"40", "0"}, kFrozenNow - 1, kFrozenNow, false, false},  // seen before it
      {{"0", "90"}, kFrozenNow, kFrozenNow - 1, true, true},
      {{"0", "90"}, kFrozenNow, kFrozenNow, true, false},
      {{"-1", "90"}, kFrozenNow, kFrozenNow + kDay - 1, true, true},  // threshold after the start
      {{"99999999999", "99999999999"}, INT32_MIN, INT32_MIN, true, false},
      {{"-99999999999", "-99999999999"}, INT32_MAX - 1, INT32_MAX - 1, false, false},
  };
  for (const Case& c : cases) {
    WpRecord in = station("QF1AA", c.last_seen, c.last_update);
    std::strcpy(in.temp_zip, "12345");
    WpRecord expected = in;
    if (c.promoted) std::strcpy(expected.zip, "12345");
    Site3 s(record_bytes(in));
    RunResult r = s.site.run(c.args);
    std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(0, r.status) << label;
    EXPECT_EQ(c.kept ? record_bytes(expected) : "", s.site.read("data/wp/wp.sys")) << label;
  }
}

namespace {

std::vector<WpRecord> filler(int n) {
  std::vector<WpRecord> records;
  records.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) records.push_back(station(distinct_callsign(i).c_str()));
  return records;
}

// The progress lines of a run counting total records, with the duplicate
// messages given by (total before, callsign) placed where they are written.
std::string progress(int total, const std::vector<std::pair<int, std::string>>& duplicates) {
  std::string text;
  std::size_t next = 0;
  for (int t = 0; t <= total; ++t) {
    if (t > 0 && t % 100 == 0) text += "\rRecord " + std::to_string(t);
    while (next < duplicates.size() && duplicates[next].first == t) {
      text += "\rRecord " + std::to_string(t) + " (" + duplicates[next].second + ") duplicated\n";
      ++next;
    }
  }
  return text + "\rRecord " + std::to_string(total) + "\n\n";
}

}  // namespace

TEST(Review, DuplicatesFromIndex65535On) {
  std::vector<WpRecord> in = filler(68000);
  in[10] = station("QA1DUP");        // before the table: never looked up against it
  in[65535] = station("QA1DUP");     // first key of the table; it does not find itself
  in[66000] = station("qa1dup");     // repeats it: dropped
  in[66001] = station("QA1DUP", 0);  // repeated and expired: the duplicate rule speaks first
  in[66534] = station("QZ9LAS");     // 1000th key of the table
  in[66535] = station("QZ9OUT");     // the table is full: not added
  in[67000] = station("QZ9OUT");     // so not a duplicate
  in[67001] = station("QZ9LAS");     // still checked against the full table
  std::vector<WpRecord> out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (i != 66000 && i != 66001 && i != 67001) out.push_back(in[i]);
  }
  Site3 s(records_bytes(in));
  RunResult r = s.site.run({});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(same_bytes(kHeader + progress(68000, {{66000, "QA1DUP"}, {66001, "QA1DUP"}, {67001, "QZ9LAS"}}),
                         r.err));
  EXPECT_TRUE(same_bytes(records_bytes(out), s.site.read("data/wp/wp.sys")));
}

TEST(Review, DroppedRecordsStillEnterTheTable) {
  std::vector<WpRecord> in = filler(66100);
  in[65535] = station("QA1DUP", 0);  // expired: dropped, but its key goes in
  in[65536] = station("");           // empty callsign: key 0 uses up a slot, not counted
  in[66050] = station("QA1DUP");
  std::vector<WpRecord> out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (i != 65535 && i != 65536 && i != 66050) out.push_back(in[i]);
  }
  Site3 s(records_bytes(in));
  RunResult r = s.site.run({});
  EXPECT_EQ(0, r.status);
  // 66099 counted records: the empty callsign is not counted, and the
  // duplicate's total is the count before it.
  EXPECT_TRUE(same_bytes(kHeader + progress(66099, {{66049, "QA1DUP"}}), r.err));
  EXPECT_TRUE(same_bytes(records_bytes(out), s.site.read("data/wp/wp.sys")));
}

TEST(Review, NoDuplicatesIn65536RecordsOrFewer) {
  std::vector<WpRecord> in = filler(65536);
  in[65535] = station(distinct_callsign(0).c_str());  // repeats record 0 but is the first key
  in[65534] = station(distinct_callsign(1).c_str());
  Site3 s(records_bytes(in));
  RunResult r = s.site.run({});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(same_bytes(kHeader + progress(65536, {}), r.err));
  EXPECT_TRUE(same_bytes(records_bytes(in), s.site.read("data/wp/wp.sys")));
}

TEST(Review, GeneratedDatabaseKeepsOnlyRecordsThatPassEveryRule) {
  std::string generated = run_wptool({"gen", "100000", "1"});
  ASSERT_EQ(100000u * kRecordSize, generated.size());
  Site3 s(generated);
  RunResult r = s.site.run({});
  ASSERT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find(") duplicated\n"));
  std::string result = s.site.read("data/wp/wp.sys");
  ASSERT_EQ(0u, result.size() % kRecordSize);
  std::size_t kept = result.size() / kRecordSize;
  EXPECT_LT(kept, 100000u * 9 / 10);
  EXPECT_GT(kept, 100000u / 2);

  // Each kept record passes the rules, and the kept records come in the
  // order of the database, matched by their last-seen time.
  std::size_t in = 0;
  std::size_t matched = 0;
  for (std::size_t i = 0; i < kept; ++i) {
    WpRecord out;
    std::memcpy(&out, result.data() + i * kRecordSize, kRecordSize);
    std::string call(out.callsign);
    EXPECT_TRUE(call.size() >= 3 && call.size() <= 6) << call;
    EXPECT_EQ(std::string::npos, call.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")) << call;
    EXPECT_TRUE(out.home_bbs[0] != '\0' && out.home_bbs[0] != '?') << call;
    EXPECT_LE(std::strlen(out.home_bbs), 30u) << call;
    EXPECT_EQ(0, out.update_kind) << call;
    EXPECT_GE(get_time(out.last_seen), kKill) << call;
    if (get_time(out.last_update) < kUpdate) {
      EXPECT_STREQ(out.temp_zip, out.zip) << call;
      EXPECT_STREQ(out.temp_location, out.location) << call;
    }
    while (in < 100000) {
      WpRecord original;
      std::memcpy(&original, generated.data() + in * kRecordSize, kRecordSize);
      ++in;
      if (std::memcmp(original.last_seen, out.last_seen, 4) == 0 &&
          std::memcmp(original.name, out.name, sizeof out.name) == 0) {
        ++matched;
        break;
      }
    }
  }
  EXPECT_EQ(kept, matched);
  std::string messages = s.site.read("data/wp/mess.wp");
  EXPECT_GT(std::count(messages.begin(), messages.end(), '\n'), 1000);
  std::string listing = run_wptool({"dump", s.site.path("data/wp/wp.sys")});
  EXPECT_EQ(static_cast<long>(kept), std::count(listing.begin(), listing.end(), '\n'));
}

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + 1) {
    parts.push_back(text.substr(from, at - from));
  }
  parts.push_back(text.substr(from));
  return parts;
}

WpRecord record_at(const std::string& file, std::size_t index) {
  WpRecord r;
  std::memcpy(&r, file.data() + index * kRecordSize, kRecordSize);
  return r;
}

// The main fields that differ within their compared width between a
// record before and after a run, named as the preview names them.
std::string changed_main_fields(const WpRecord& was, const WpRecord& now) {
  std::string fields;
  auto note = [&fields](bool differs, const char* name) {
    if (differs) fields += (fields.empty() ? "" : ",") + std::string(name);
  };
  note(std::strncmp(was.home_bbs, now.home_bbs, sizeof was.home_bbs - 1) != 0, "home_bbs");
  note(std::strncmp(was.zip, now.zip, sizeof was.zip - 1) != 0, "zip");
  note(std::strncmp(was.location, now.location, sizeof was.location - 1) != 0, "location");
  return fields;
}

std::string uppercase_callsign(const WpRecord& r) {
  std::string call(r.callsign, strnlen(r.callsign, sizeof r.callsign));
  for (char& c : call) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return call;
}

}  // namespace

// Whatever the database, day counts, switch and clock, the preview tells
// exactly what the run under the same clock then does, and diff tells it
// back from the backup and the rewritten database.
TEST(Preview, TellsWhatTheRunThenDoes) {
  std::mt19937 random(11);
  auto between = [&random](long low, long high) {
    return std::uniform_int_distribution<long>(low, high)(random);
  };
  const char* const zones[] = {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"};
  int duplicates_seen = 0;
  const char* test_zone = std::getenv("TZ");
  std::string saved_zone = test_zone != nullptr ? test_zone : "";
  for (int n : {2500, 1800, 3000, 2200, 1500, 67000}) {
    // No change of daylight saving time lies within 30 days of the frozen
    // clock, so a local time names one instant.
    std::int32_t now = kFrozenNow + static_cast<std::int32_t>(between(-30, 30) * kDay + between(0, kDay - 1));
    std::int32_t data_now = now + static_cast<std::int32_t>(between(-10, 10) * kDay);
    std::string generated =
        run_wptool({"gen", std::to_string(n), std::to_string(random()), std::to_string(data_now)});
    std::vector<std::string> args;
    int day_counts = static_cast<int>(between(0, 2));
    if (day_counts >= 1) args.push_back(std::to_string(between(-5, 120)));
    if (day_counts == 2) args.push_back(std::to_string(between(0, 150)));
    if (between(0, 1) == 1) args.push_back(between(0, 1) == 1 ? "/NOC" : "/nocheck");
    RunSettings run_settings;
    run_settings.tz = zones[between(0, 2)];
    std::time_t t = now;
    std::tm local{};
    setenv("TZ", run_settings.tz.c_str(), 1);
    tzset();
    localtime_r(&t, &local);
    char clock[32];
    std::strftime(clock, sizeof clock, "%Y-%m-%d %H:%M:%S", &local);
    run_settings.clock = clock;
    // The preview runs under the same frozen clock, or names the time
    // with --at, as local time or in seconds.
    RunSettings preview_settings = run_settings;
    std::vector<std::string> preview_args = {"preview"};
    preview_args.insert(preview_args.end(), args.begin(), args.end());
    int clock_form = static_cast<int>(between(0, 2));
    if (clock_form > 0) {
      preview_settings.clock.clear();
      preview_args.insert(preview_args.begin() + 1, {"--at", clock_form == 1 ? clock : std::to_string(now)});
    }
    std::string label = std::to_string(n) + " records, " + ::testing::PrintToString(preview_args) + " at " +
                        clock + " " + run_settings.tz;

    Site3 s(generated);
    auto before = s.site.files();
    RunResult preview = s.site.wptool(preview_args, preview_settings);
    ASSERT_EQ(0, preview.status) << label << "\n" << preview.err;
    EXPECT_TRUE(before == s.site.files()) << label;
    RunResult run = s.site.run(args, run_settings);
    ASSERT_EQ(0, run.status) << label << "\n" << run.err;

    // The run's summary closes the preview, after one line per finding.
    ASSERT_GE(preview.out.size(), run.out.size()) << label;
    std::size_t findings_end = preview.out.size() - run.out.size();
    EXPECT_EQ(run.out, preview.out.substr(findings_end)) << label;
    std::set<std::size_t> dropped;
    std::map<std::size_t, std::string> promoted;
    std::string announced;
    for (const std::string& line : split(preview.out.substr(0, findings_end), '\n')) {
      if (line.empty()) continue;
      std::vector<std::string> f = split(line, '\t');
      ASSERT_GE(f.size(), 4u) << label << ": " << line;
      std::size_t index = std::stoul(f[1]);
      ASSERT_LT(index, static_cast<std::size_t>(n)) << label << ": " << line;
      WpRecord was = record_at(generated, index);
      EXPECT_EQ(std::string(was.callsign, strnlen(was.callsign, sizeof was.callsign)), f[2]) << label;
      if (f[0] == "drop") {
        dropped.insert(index);
        const std::string duplicate = "duplicate of the record at index ";
        if (f[3].compare(0, duplicate.size(), duplicate) == 0) {
          std::size_t first = std::stoul(f[3].substr(duplicate.size()));
          EXPECT_TRUE(first >= 65535 && first < 66535 && first < index) << label << ": " << line;
          EXPECT_EQ(uppercase_callsign(record_at(generated, first)).substr(0, 6),
                    uppercase_callsign(was).substr(0, 6))
              << label << ": " << line;
          ++duplicates_seen;
        }
      } else if (f[0] == "promote") {
        promoted[index] = f[3];
      } else {
        ASSERT_EQ("announce", f[0]) << label;
        announced += line.substr(line.find('\t', line.find('\t', line.find('\t') + 1) + 1) + 1) + "\n";
      }
    }

    // The records the preview did not drop are those of the rewritten
    // database, in order, promoted where it said so.
    std::string rewritten = s.site.read("data/wp/wp.sys");
    ASSERT_EQ(generated.size() - dropped.size() * kRecordSize, rewritten.size()) << label;
    std::size_t kept = 0;
    std::size_t updated = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
      if (dropped.count(i) != 0) continue;
      WpRecord was = record_at(generated, i);
      WpRecord now_record = record_at(rewritten, kept++);
      ASSERT_EQ(0, std::memcmp(was.last_update, now_record.last_update, 8)) << label << ": index " << i;
      ASSERT_EQ(0, std::strncmp(was.name, now_record.name, sizeof was.name - 1)) << label << ": index " << i;
      std::string fields = changed_main_fields(was, now_record);
      EXPECT_EQ(fields, promoted.count(i) != 0 ? promoted[i] : "") << label << ": index " << i;
      if (!fields.empty()) ++updated;
    }
    EXPECT_EQ(promoted.size(), updated) << label;
    EXPECT_NE(std::string::npos, run.out.find(": " + std::string(5 - std::to_string(updated).size(), ' ') +
                                              std::to_string(updated) + " updated record(s)"))
        << label << "\n"
        << run.out;
    EXPECT_TRUE(same_bytes(announced, s.site.read("data/wp/mess.wp"))) << label;

    // diff lists as dropped exactly the records the preview dropped.
    RunResult diff = s.site.wptool({"diff", "data/wp/wp.old", "data/wp/wp.sys"}, run_settings);
    ASSERT_EQ(0, diff.status) << label << "\n" << diff.err;
    std::set<std::size_t> diff_dropped;
    std::vector<std::string> diff_lines = split(diff.out, '\n');
    for (const std::string& line : diff_lines) {
      if (line.compare(0, 8, "dropped\t") == 0) diff_dropped.insert(std::stoul(split(line, '\t')[1]));
    }
    EXPECT_TRUE(dropped == diff_dropped) << label;
    ASSERT_GE(diff_lines.size(), 2u) << label;
    EXPECT_EQ(0u, diff_lines[diff_lines.size() - 2].find("records\t" + std::to_string(n) + "\tkept\t" +
                                                         std::to_string(kept) + "\tdropped\t" +
                                                         std::to_string(dropped.size()) + "\tchanged\t"))
        << label << "\n"
        << diff_lines[diff_lines.size() - 2];
  }
  if (test_zone != nullptr) {
    setenv("TZ", saved_zone.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  EXPECT_GT(duplicates_seen, 0);
}

// What the preview shares with a run ends as the run ends; its own bad
// arguments end with a message. Nothing is left behind either way.
TEST(Preview, FailsAsTheRunFails) {
  const std::string long_name(300, 'u');
  struct Case {
    const char* name;
    void (*setup)(Site&);
    std::vector<std::string> args;
    int status;
    std::string err;
    bool as_the_run;  // the run ends with the same status and last message
  } cases[] = {
      {"no init.srv",
       [](Site& s) { s.write("data/wp/wp.sys", ""); },
       {},
       1,
       "Cannot open INIT.SRV     \n",
       true},
      {"no base directory",
       [](Site& s) { s.write("init.srv", "a\nb\n"); },
       {},
       1,
       "Cannot find base directory in INIT.SRV\n",
       true},
      {"no database", [](Site& s) { s.write_init(); }, {}, 2, "Cannot find data/wp/wp.sys\n", true},
      {"update-file name too long",
       [](Site& s) { s.write_init(); },
       {"40", "90", long_name},
       5,
       "Update file name too long\n",
       true},
      {"no time after --at",
       [](Site& s) { s.write_init(); },
       {"--at"},
       2,
       "wptool: --at wants seconds since 1970 or YYYY-MM-DD HH:MM:SS, not ''\n" + std::string(kPreviewUsage),
       false},
      {"not a time",
       [](Site& s) { s.write_init(); },
       {"--at", "2026-02-30 12:00:00"},
       2,
       "wptool: --at wants seconds since 1970 or YYYY-MM-DD HH:MM:SS, not '2026-02-30 12:00:00'\n" +
           std::string(kPreviewUsage),
       false},
      {"time out of range",
       [](Site& s) { s.write_init(); },
       {"--at", "2147483648"},
       2,
       "wptool: --at time out of range\n",
       false},
  };
  for (const Case& c : cases) {
    Site site;
    c.setup(site);
    auto before = site.files();
    std::vector<std::string> args = {"preview"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult preview = site.wptool(args);
    EXPECT_EQ(c.status, preview.status) << c.name;
    EXPECT_EQ(c.err, preview.err) << c.name;
    EXPECT_EQ("", preview.out) << c.name;
    EXPECT_TRUE(before == site.files()) << c.name;
    if (!c.as_the_run) continue;
    RunResult run = site.run(c.args);
    EXPECT_EQ(c.status, run.status) << c.name;
    EXPECT_EQ(c.err, run.err.substr(run.err.size() - std::min(run.err.size(), c.err.size()))) << c.name;
  }

  // After an interrupted run, a run restores the database from the backup
  // and works on that: so does the preview.
  Site3 s(records_bytes({station("QG1AA"), station("QG1AB", 0)}));
  s.site.write("data/wp/wp.old", records_bytes({station("QG1AC", 0), station("QG1AD"), station("QG1AE")}));
  s.site.write("data/wp/kestol.lck", "rewriting");
  auto before = s.site.files();
  RunResult preview = s.site.wptool({"preview"});
  EXPECT_TRUE(before == s.site.files());
  RunResult run = s.site.run({});
  EXPECT_EQ(0, preview.status);
  EXPECT_EQ(
      "Previous run was interrupted: a run restores 'data/wp/wp.sys' from 'data/wp/wp.old' first; previewing "
      "it\n",
      preview.err);
  EXPECT_EQ("drop\t0\tQG1AC\tnot seen since 1970-01-01 00:00:00\n" + run.out, preview.out);
  EXPECT_NE(std::string::npos, run.out.find("    3 total records"));  // the backup's, not wp.sys's 2
}

// diff after a run: a dropped record is not taken for the kept one with
// the same callsign, name and times that follows it, and every change the
// run made is named.
TEST(Diff, MatchesRepeatedStationsAndNamesTheChanges) {
  WpRecord unknown_route = with_route(station("QH1AA", kFrozenNow, kUpdate - 1), "?");
  std::strcpy(unknown_route.temp_home_bbs, "?");
  std::strcpy(unknown_route.temp_zip, "75002");
  WpRecord moved = station("QH1AA", kFrozenNow, kUpdate - 1);
  std::strcpy(moved.temp_zip, "75002");
  Site3 s(records_bytes(
      {unknown_route, moved, station("qh1ab"), with_kind(station("QH1AC"), 'U'), station("QH1AD", 0)}));
  ASSERT_EQ(0, s.site.run({}).status);
  RunResult diff = s.site.wptool({"diff", "data/wp/wp.old", "data/wp/wp.sys"});
  EXPECT_EQ(0, diff.status);
  EXPECT_EQ(
      "dropped\t0\tQH1AA\n"
      "changed\t1\tQH1AA\tzip\t75001\t75002\n"
      "changed\t2\tqh1ab\tcallsign\tqh1ab\tQH1AB\n"
      "changed\t3\tQH1AC\tupdate_kind\tU\t-\n"
      "dropped\t4\tQH1AD\n"
      "records\t5\tkept\t3\tdropped\t2\tchanged\t3\n",
      diff.out);

  // A record that matches none is added; a file that cannot be read is
  // named.
  s.site.write("more.wp", s.site.read("data/wp/wp.sys") + record_bytes(station("QZ9ZZ")) + "part");
  diff = s.site.wptool({"diff", "data/wp/wp.sys", "more.wp"});
  EXPECT_EQ(0, diff.status);
  EXPECT_EQ("added\t3\tQZ9ZZ\nrecords\t3\tkept\t3\tdropped\t0\tchanged\t0\tadded\t1\n", diff.out);
  diff = s.site.wptool({"diff", "data/wp/wp.sys", "missing.wp"});
  EXPECT_EQ(1, diff.status);
  EXPECT_EQ("wptool: cannot open 'missing.wp'\n", diff.err);
}
