// The review's rules and their order, on records built here.
#include "records/review.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "files/announce.h"
#include "records/record_rules.h"

TEST(IsValidCallsign, NormalisesAndJudges) {
  struct Case {
    const char* in;
    const char* out;  // the text after the call
    bool valid;
  } cases[] = {
      {"QA1BC", "QA1BC", true},    {"qd2xy", "QD2XY", true}, {"QQ12AB", "QQ12AB", true},
      {"Q1A", "Q1A", true},        {"1QA", "1QA", true},     {"qa1bc-1", "QA1BC", true},
      {"QA1B/P", "QA1B", true},    {" QA1BC", "", false},    {"", "", false},
      {"1Q", "1Q", false},         {"QAB", "QAB", false},    {"1A2B3C", "1A2B3C", false},
      {"QA1BC2", "QA1BC2", false}, {"Q1", "Q1", false},      {"QA1\xe9", "QA1", false},
      {"12A", "12A", true},        {"123A", "123A", false},  {"QA1BCDE", "QA1BCDE", false},
  };
  for (const Case& c : cases) {
    char text[8] = {};
    std::strncpy(text, c.in, 7);
    EXPECT_EQ(c.valid, is_valid_callsign(text)) << '"' << c.in << '"';
    EXPECT_STREQ(c.out, text) << '"' << c.in << '"';
  }
}

TEST(IsValidRoute, LengthAndComponents) {
  struct Case {
    std::string route;
    bool valid;
  } cases[] = {
      {"QA1BC.QQ.EU", true},
      {"QA1BCDE.QQ", false},  // seven-character component
      {"QA1BCD.QQ", true},
      {"", true},
      {"..", true},
      {".QA1BC.", true},
      {std::string(30, '.'), true},
      {std::string(31, '.'), false},
      {"AAAAAA.BBBBBB.CCCCCC.DDDDDD.EE", true},    // 30 characters
      {"AAAAAA.BBBBBB.CCCCCC.DDDDDD.EEE", false},  // 31 characters
      {"ABCDEFG", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.valid, is_valid_route(c.route.c_str())) << c.route;
}

TEST(CopyBounded, StopsAtNulOrN) {
  char dest[9];
  std::memset(dest, 'x', sizeof dest);
  copy_bounded(dest, "abc", 8);
  EXPECT_EQ(0, std::memcmp(dest, "abc\0xxxxx", 9));
  copy_bounded(dest, "0123456789", 8);
  EXPECT_EQ(0, std::memcmp(dest, "01234567\0", 9));
  copy_bounded(dest, "", 8);
  EXPECT_EQ('\0', dest[0]);
  EXPECT_EQ('1', dest[1]);
}

namespace {

constexpr std::int32_t kNow = 1796731200;

// The default thresholds, an empty duplicate table and an in-memory mess.wp.
struct Review {
  DuplicateFilter duplicates{};
  std::int32_t total = 0;
  std::int32_t update_lines = 0;
  Announcer announcer;
  ReviewInputs in{true, kNow - 40 * 86400, kNow - 90 * 86400, &duplicates, &total, {}};
  char messages_buffer[512];
  char update_buffer[512];
  Review() {
    announcer.messages = make_output(fileno(std::tmpfile()), messages_buffer, sizeof messages_buffer);
    announcer.update_lines = &update_lines;
    in.announcements = announcement_sink(announcer);
  }
  ~Review() {
    close(announcer.messages.fd);
    if (announcer.update_file.fd >= 0) close(announcer.update_file.fd);
  }
  static std::string contents(OutputBuffer& out) {
    EXPECT_TRUE(flush_output(out));
    char bytes[4096];
    ssize_t n = pread(out.fd, bytes, sizeof bytes, 0);
    return std::string(bytes, n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  std::string messages() { return contents(announcer.messages); }
  void open_update_file() {
    announcer.update_file = make_output(fileno(std::tmpfile()), update_buffer, sizeof update_buffer);
  }
};

WpRecord good_record() {
  WpRecord r;
  std::memset(&r, 0, sizeof r);
  std::strcpy(r.callsign, "QA1BC");
  std::strcpy(r.name, "Ann");
  std::strcpy(r.home_bbs, "QQ1AA.QQ.EU");
  std::strcpy(r.temp_home_bbs, "QQ1AA.QQ.EU");
  std::strcpy(r.zip, "75001");
  std::strcpy(r.temp_zip, "75001");
  std::strcpy(r.location, "Nowhere");
  std::strcpy(r.temp_location, "Nowhere");
  put_time(r.last_seen, kNow);
  put_time(r.last_update, kNow);
  return r;
}

}  // namespace

TEST(ReviewRecord, DropsAndKeeps) {
  struct Case {
    const char* name;
    void (*edit)(WpRecord&);
    bool route_check;
    int answer;
  } cases[] = {
      {"good", [](WpRecord&) {}, true, kKeep},
      {"bad callsign", [](WpRecord& r) { std::strcpy(r.callsign, "QAB"); }, true, kDrop},
      {"empty callsign", [](WpRecord& r) { r.callsign[0] = '\0'; }, true, kDrop},
      {"empty route", [](WpRecord& r) { r.home_bbs[0] = '\0'; }, true, kDrop},
      {"lone question mark", [](WpRecord& r) { std::strcpy(r.home_bbs, "?"); }, true, kDrop},
      {"question mark first", [](WpRecord& r) { std::strcpy(r.home_bbs, "?QQ1AA"); }, false, kDrop},
      {"long component", [](WpRecord& r) { std::strcpy(r.home_bbs, "QA1BCDE.QQ"); }, true, kDrop},
      {"long component, no check", [](WpRecord& r) { std::strcpy(r.home_bbs, "QA1BCDE.QQ"); }, false, kKeep},
      {"31 characters", [](WpRecord& r) { std::strcpy(r.home_bbs, "QA1BC.QQ.AB.CD.EF.GH.IJ.KL.MN.O"); }, true,
       kDrop},
      {"31 characters, no check",
       [](WpRecord& r) { std::strcpy(r.home_bbs, "QA1BC.QQ.AB.CD.EF.GH.IJ.KL.MN.O"); }, false, kKeep},
      {"seen at the kill threshold", [](WpRecord& r) { put_time(r.last_seen, kNow - 90 * 86400); }, true,
       kKeep},
      {"seen just before it", [](WpRecord& r) { put_time(r.last_seen, kNow - 90 * 86400 - 1); }, true, kDrop},
      {"seen long ago (negative)", [](WpRecord& r) { put_time(r.last_seen, INT32_MIN); }, true, kDrop},
      {"seen in the future", [](WpRecord& r) { put_time(r.last_seen, INT32_MAX); }, true, kKeep},
      {"old but nothing to promote", [](WpRecord& r) { put_time(r.last_update, 0); }, true, kKeep},
      {"old and a new zip",
       [](WpRecord& r) {
         put_time(r.last_update, kNow - 40 * 86400 - 1);
         std::strcpy(r.temp_zip, "75002");
       },
       true, kKeepUpdated},
      {"new zip at the update threshold",
       [](WpRecord& r) {
         put_time(r.last_update, kNow - 40 * 86400);
         std::strcpy(r.temp_zip, "75002");
       },
       true, kKeep},
      // Differences past the compared width do not count: the zip's
      // terminator slot differs but is forced to NUL first.
      {"difference only in the terminator slot",
       [](WpRecord& r) {
         put_time(r.last_update, 0);
         r.temp_zip[8] = 'Z';
       },
       true, kKeep},
  };
  for (const Case& c : cases) {
    Review review;
    review.in.route_check = c.route_check;
    WpRecord r = good_record();
    c.edit(r);
    EXPECT_EQ(c.answer, review_record(review.in, &r)) << c.name;
  }
}

TEST(ReviewRecord, TerminatorSlotsForcedOtherBytesKept) {
  Review review;
  WpRecord r;
  std::memset(&r, 0x5a, sizeof r);  // every field full, no NUL anywhere
  std::memcpy(r.callsign, "QA1BC/P", 7);
  std::strcpy(r.home_bbs, "QQ1AA.QQ.EU");
  r.update_kind = 0;
  put_time(r.last_seen, kNow);
  put_time(r.last_update, kNow);
  WpRecord before = r;
  EXPECT_EQ(kKeep, review_record(review.in, &r));
  auto* b = reinterpret_cast<const unsigned char*>(&before);
  auto* a = reinterpret_cast<const unsigned char*>(&r);
  for (std::size_t i = 0; i < kRecordSize; ++i) {
    bool slot = i == 6 || i == 19 || i == 72 || i == 113 || i == 122 || i == 131 || i == 162 || i == 193;
    if (slot || i == 5) {
      EXPECT_EQ(0, a[i]) << "byte " << i;  // byte 5 held the slash
    } else {
      EXPECT_EQ(b[i], a[i]) << "byte " << i;
    }
  }
  EXPECT_STREQ("QA1BC", r.callsign);
  EXPECT_EQ(std::string(12, 'Z'), std::string(r.name));
}

TEST(ReviewRecord, PortableSuffixLeavesTheBytesAfterTheCut) {
  Review review;
  WpRecord r = good_record();
  std::memcpy(r.callsign, "QA1B/P", 7);
  EXPECT_EQ(kKeep, review_record(review.in, &r));
  EXPECT_EQ(0, std::memcmp(r.callsign, "QA1B\0P\0", 7));
}

TEST(ReviewRecord, PromotesFieldByFieldFromTheTemporaryPart) {
  Review review;
  WpRecord r = good_record();
  put_time(r.last_update, kNow - 41 * 86400);
  std::strcpy(r.home_bbs, "OLD.ROUTE.EU");
  std::strcpy(r.temp_home_bbs, "NEW.EU");
  r.temp_location[0] = '\0';  // an empty temporary field empties the main one
  EXPECT_EQ(kKeepUpdated, review_record(review.in, &r));
  EXPECT_EQ(0, std::memcmp(r.home_bbs, "NEW.EU\0TE.EU\0", 13));  // tail of the old text kept
  EXPECT_STREQ("NEW.EU", r.temp_home_bbs);
  EXPECT_STREQ("75001", r.zip);
  EXPECT_EQ('\0', r.location[0]);
  EXPECT_EQ(0, std::memcmp(r.location + 1, "owhere", 6));
}

// A temporary part that fills its field, without a NUL, is promoted
// whole, up to the forced terminator; the note names the promoted fields.
TEST(ReviewRecord, PromotesAWholeWidthTemporaryPartWhole) {
  struct Case {
    const char* name;
    std::size_t offset;  // of the temporary field; its main field lies width bytes before
    std::size_t width;
    unsigned char promoted;
  } cases[] = {
      {"home BBS", offsetof(WpRecord, temp_home_bbs), sizeof WpRecord::home_bbs, kPromotedHomeBbs},
      {"zip", offsetof(WpRecord, temp_zip), sizeof WpRecord::zip, kPromotedZip},
      {"location", offsetof(WpRecord, temp_location), sizeof WpRecord::location, kPromotedLocation},
  };
  // Also when the main field differs only in the last character the
  // field holds: every character within the width counts.
  for (const Case& c : cases) {
    for (bool only_last : {false, true}) {
      Review review;
      WpRecord r = good_record();
      put_time(r.last_update, kNow - 41 * 86400);
      auto* bytes = reinterpret_cast<char*>(&r);
      std::memset(bytes + c.offset, 'W', c.width);
      if (only_last) {
        std::memset(bytes + c.offset - c.width, 'W', c.width - 2);
        review.in.route_check = false;  // a home BBS route of 39 letters
      }
      ReviewNote note{};
      EXPECT_EQ(kKeepUpdated, review_record(review.in, &r, &note)) << c.name << only_last;
      EXPECT_EQ(DropRule::none, note.rule) << c.name;
      EXPECT_EQ(c.promoted, note.promoted) << c.name << only_last;
      EXPECT_EQ(std::string(c.width - 1, 'W') + '\0', std::string(bytes + c.offset - c.width, c.width))
          << c.name << only_last;
    }
  }
}

TEST(ReviewRecord, AnnouncesKeptUpdatesOnly) {
  struct Case {
    const char* name;
    unsigned char kind;
    void (*edit)(WpRecord&);
    std::string line;
    bool in_update_file;
  } cases[] = {
      {"U", 'U', [](WpRecord&) {}, "On 1261208 QA1BC/U @ QQ1AA.QQ.EU zip 75001 Ann Nowhere\n", true},
      {"G", 'G', [](WpRecord&) {}, "On 1261208 QA1BC/G @ QQ1AA.QQ.EU zip 75001 Ann Nowhere\n", true},
      {"I, empty fields", 'I',
       [](WpRecord& r) {
         r.temp_zip[0] = '\0';
         r.name[0] = '\0';
         r.temp_location[0] = '\0';
       },
       "On 1261208 QA1BC/I @ QQ1AA.QQ.EU zip ? ? ?\n", true},
      {"control bytes cannot forge a line", 'U',
       [](WpRecord& r) {
         std::strcpy(r.name, "A\rB\x1b\x7f\xe9");
         std::strcpy(r.temp_location, "Town\nOn 1 QX1X/U @");
       },
       "On 1261208 QA1BC/U @ QQ1AA.QQ.EU zip 75001 A?B??\xe9 Town?On 1 QX1X/U @\n", true},
      {"empty temporary home BBS", 'U', [](WpRecord& r) { r.temp_home_bbs[0] = '\0'; },
       "On 1261208 QA1BC/U @ ? zip 75001 Ann Nowhere\n", true},
      {"X goes to the update file only", 'X', [](WpRecord&) {}, "", true},
      {"lower-case u is another kind", 'u', [](WpRecord&) {}, "", true},
      {"dropped", 'U', [](WpRecord& r) { put_time(r.last_seen, 0); }, "", false},
      {"1995 date", 'U', [](WpRecord& r) { put_time(r.last_update, 794577600); },  // 1995-03-07 12:00 UTC
       "On 950307 QA1BC/U @ QQ1AA.QQ.EU zip 75001 Ann Nowhere\n", true},
  };
  for (const Case& c : cases) {
    Review review;
    review.open_update_file();
    WpRecord r = good_record();
    r.update_kind = c.kind;
    c.edit(r);
    review_record(review.in, &r);
    // A kept record comes back with its kind cleared; a dropped one as it was.
    EXPECT_EQ(c.in_update_file ? 0 : c.kind, r.update_kind) << c.name;
    EXPECT_EQ(c.line, review.messages()) << c.name;
    EXPECT_EQ(c.line.empty() ? 0 : 1, review.update_lines) << c.name;
    std::string update = Review::contents(review.announcer.update_file);
    if (c.in_update_file) {
      // The record as the review left it, update kind still set.
      WpRecord expected = r;
      expected.update_kind = c.kind;
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(&expected), kRecordSize), update) << c.name;
    } else {
      EXPECT_EQ("", update) << c.name;
    }
  }
}

TEST(ReviewRecord, DuplicateIsCheckedBeforeAge) {
  Review review;
  review.duplicates.reset();
  review.duplicates.add("QA1BC");
  review.total = 65540;
  WpRecord r = good_record();
  std::strcpy(r.callsign, "qa1bc");
  put_time(r.last_seen, 0);  // expired as well
  testing::internal::CaptureStderr();
  EXPECT_EQ(kDrop, review_record(review.in, &r));
  EXPECT_EQ("\rRecord 65540 (QA1BC) duplicated\n", testing::internal::GetCapturedStderr());
}
