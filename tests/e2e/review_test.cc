// End to end: what a run keeps, drops, promotes and announces, byte for
// byte, under a frozen clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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
  RunResult r = s.site.run({});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(kHeader + std::string("\rRecord 16\n\n"), r.err);  // " QA1BC" cuts to empty
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
