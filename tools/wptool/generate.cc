// Synthetic databases: realistic callsigns and routes, and a mix of records
// that a run keeps, drops (bad callsign or route, expired, repeated),
// promotes and announces.
#include "tools/wptool/generate.h"

#include <cstring>

namespace {

// splitmix64: a small generator whose output is fixed by its seed.
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
  char letter() { return static_cast<char>('A' + below(26)); }
  char digit() { return static_cast<char>('0' + below(10)); }
};

const char* const kNames[] = {"Ann",    "Bernard", "Claire",  "Didier", "Eva",    "Francois",   "Gerd",
                              "Helene", "Ivo",     "Jana",    "Karel",  "Lucia",  "Marc",       "Nadia",
                              "Olaf",   "Pia",     "Quentin", "Rosa",   "Sven",   "Tereza",     "Ulrich",
                              "Vera",   "Willem",  "Xavier",  "Yvonne", "Zdenek", "Jean-Pierre"};
const char* const kTowns[] = {"Nowhere", "Lille",        "Ghent",     "Utrecht",     "Bern",
                              "Lyon",    "Porto",        "Graz",      "Brno",        "Aarhus",
                              "Nantes",  "Liege",        "Basel",     "Dijon",       "Cork",
                              "Le Mans", "Sankt Gallen", "Rotterdam", "Clermont-Fd", ""};
const char* const kRegions[] = {"FRPA", "FRNO", "BEL", "NLD", "DEU", "CHE", "AUT", "ITA", "ESP", "GBR"};
const char* const kContinents[] = {"EU", "EURO", "NA", "AS"};

template <std::size_t N>
void put_text(char (&field)[N], const char* text) {
  std::strncpy(field, text, N - 1);
}

// Prefix of one or two letters, one digit, suffix of one to three letters.
void make_callsign(Random& rng, char (&out)[7]) {
  int n = 0;
  out[n++] = rng.letter();
  if (rng.below(2) == 0) out[n++] = rng.letter();
  out[n++] = rng.digit();
  int suffix = 1 + static_cast<int>(rng.below(3));
  for (int i = 0; i < suffix; ++i) out[n++] = rng.letter();
  out[n] = '\0';
}

// Appends a two-character suffix where the field has room for it.
void append_suffix(char (&call)[7], const char* suffix) {
  std::size_t n = std::strlen(call);
  if (n <= 4) std::memcpy(call + n, suffix, 3);
}

// A callsign the review changes or drops: lower case, a portable or SSID
// suffix, too short, no digit, three digits, a trailing digit, or empty.
void spoil_callsign(Random& rng, char (&call)[7]) {
  switch (rng.below(8)) {
    case 0:
      for (char& c : call) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
      break;
    case 1:
      append_suffix(call, "/P");
      break;
    case 2:
      append_suffix(call, "-1");
      break;
    case 3:
      std::memcpy(call, "1Q\0", 3);
      break;
    case 4:
      std::memcpy(call, "QAB\0", 4);
      break;
    case 5:
      std::memcpy(call, "1A2B3C", 7);
      break;
    case 6:
      std::memcpy(call, "QA1BC2", 7);
      break;
    default:
      call[0] = '\0';
      break;
  }
}

void make_route(Random& rng, char (&out)[41]) {
  char bbs[7];
  make_callsign(rng, bbs);
  // One draw per statement: the order of evaluation of function arguments
  // is unspecified, and the bytes must not depend on the compiler.
  unsigned continent = rng.below(4);
  unsigned region = rng.below(10);
  std::snprintf(out, sizeof out, "%s.%s.%s", bbs, kRegions[region], kContinents[continent]);
}

void make_zip(Random& rng, char (&out)[9]) {
  for (int i = 0; i < 5; ++i) out[i] = rng.digit();
  out[5] = '\0';
}

// Days before now in seconds, with a random time of day.
std::int32_t days_before(Random& rng, std::int32_t now, unsigned min_days, unsigned max_days) {
  // One draw per statement, in a fixed order (see make_route).
  unsigned day = rng.below(max_days - min_days + 1);
  unsigned second = rng.below(86400);
  std::int64_t seconds = (min_days + day) * 86400LL + second;
  std::int64_t t = now - seconds;
  return t < INT32_MIN ? INT32_MIN : static_cast<std::int32_t>(t);
}

// The generator of record index of the database that seed gives.
Random record_random(std::uint64_t seed, std::int64_t index) {
  Random rng{seed * 0x100000001b3ULL ^ static_cast<std::uint64_t>(index) * 0x9e3779b97f4a7c15ULL};
  rng.next();
  return rng;
}

// The callsign field of record index, drawn first from its generator. A
// few records from 66535 on repeat the callsign of one of records 65535
// to 66534, so that large databases exercise the duplicate filter; that
// one is drawn again from its own generator, so the record does not
// depend on what was generated before it.
void draw_callsign(Random& rng, std::uint64_t seed, std::int64_t index, char (&call)[7]) {
  make_callsign(rng, call);
  if (index >= 66535 && rng.below(100) == 0) {
    std::int64_t repeated = 65535 + rng.below(1000);
    Random other = record_random(seed, repeated);
    char first[7] = {};
    draw_callsign(other, seed, repeated, first);
    std::memcpy(call, first, sizeof call);
  } else if (rng.below(50) == 0) {
    spoil_callsign(rng, call);
  }
}

}  // namespace

void generate_record(std::uint64_t seed, std::int64_t index, std::int32_t now, WpRecord* r) {
  Random rng = record_random(seed, index);
  std::memset(r, 0, sizeof *r);
  draw_callsign(rng, seed, index, r->callsign);

  put_text(r->name, kNames[rng.below(sizeof kNames / sizeof kNames[0])]);
  if (rng.below(10) == 0) r->reserved_20 = static_cast<unsigned char>(rng.below(256));
  if (rng.below(10) == 0) r->reserved_22[1] = static_cast<unsigned char>(rng.below(256));

  unsigned kind = rng.below(100);
  r->update_kind = kind < 10   ? 'U'
                   : kind < 17 ? 'G'
                   : kind < 22 ? 'I'
                   : kind < 25 ? 'X'
                   : kind < 27 ? 'u'
                               : 0;

  unsigned seen = rng.below(100);
  put_time(r->last_seen, seen < 75   ? days_before(rng, now, 0, 85)
                         : seen < 95 ? days_before(rng, now, 85, 95)
                                     : days_before(rng, now, 95, 400));
  put_time(r->last_update, rng.below(50) == 0 ? 0 : days_before(rng, now, 0, 80));

  make_route(rng, r->home_bbs);
  make_zip(rng, r->zip);
  put_text(r->location, kTowns[rng.below(sizeof kTowns / sizeof kTowns[0])]);
  std::memcpy(r->temp_home_bbs, r->home_bbs, sizeof r->home_bbs);
  std::memcpy(r->temp_zip, r->zip, sizeof r->zip);
  std::memcpy(r->temp_location, r->location, sizeof r->location);
  if (rng.below(5) < 2) {  // a changed temporary part, waiting for promotion
    if (rng.below(2) == 0) make_route(rng, r->temp_home_bbs);
    if (rng.below(2) == 0) make_zip(rng, r->temp_zip);
    if (rng.below(2) == 0) put_text(r->temp_location, kTowns[rng.below(sizeof kTowns / sizeof kTowns[0])]);
  }

  unsigned route = rng.below(100);
  if (route == 0) {
    r->home_bbs[0] = '\0';
  } else if (route == 1) {
    put_text(r->home_bbs, "?");
  } else if (route == 2) {
    put_text(r->home_bbs, "QA1BCDE.QQ.EU");  // a component of seven characters
  } else if (route == 3) {
    put_text(r->home_bbs, "QA1BC.QQ.AB.CD.EF.GH.IJ.KL.MN.OP");  // 32 characters
  }
}

bool generate_database(long long count, std::uint64_t seed, std::int32_t now, std::FILE* out) {
  WpRecord record;
  for (long long i = 0; i < count; ++i) {
    generate_record(seed, i, now, &record);
    if (!write_record(out, &record)) return false;
  }
  return std::fflush(out) == 0;
}
