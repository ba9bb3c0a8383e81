// Record listing for wptool.
#include "tools/wptool/dump.h"

#include <cstdint>
#include <ctime>

namespace {

// A text field up to its NUL (or its whole width), with tabs, line ends,
// backslashes and other unprintable bytes escaped so a record stays on one
// line.
template <std::size_t N>
void put_field(const char (&field)[N], std::FILE* out) {
  for (std::size_t i = 0; i < N && field[i] != '\0'; ++i) {
    auto c = static_cast<unsigned char>(field[i]);
    if (c < 0x20 || c >= 0x7f || c == '\\') {
      std::fprintf(out, "\\x%02x", c);
    } else {
      std::fputc(c, out);
    }
  }
}

void put_time_field(std::int32_t seconds, std::FILE* out) {
  std::time_t t = seconds;
  std::tm fields{};
  char text[64];
  if (localtime_r(&t, &fields) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields) == 0) {
    std::fprintf(out, "%ld", static_cast<long>(seconds));
    return;
  }
  std::fputs(text, out);
}

}  // namespace

void dump_record(const WpRecord& r, std::FILE* out) {
  put_field(r.callsign, out);
  std::fputc('\t', out);
  put_field(r.name, out);
  std::fputc('\t', out);
  if (r.update_kind == 0) {
    std::fputc('-', out);
  } else if (r.update_kind >= 0x21 && r.update_kind < 0x7f && r.update_kind != '\\') {
    std::fputc(r.update_kind, out);
  } else {
    std::fprintf(out, "\\x%02x", r.update_kind);
  }
  std::fputc('\t', out);
  put_time_field(get_time(r.last_update), out);
  std::fputc('\t', out);
  put_time_field(get_time(r.last_seen), out);
  std::fputc('\t', out);
  put_field(r.home_bbs, out);
  std::fputc('\t', out);
  put_field(r.zip, out);
  std::fputc('\t', out);
  put_field(r.location, out);
  std::fputc('\t', out);
  put_field(r.temp_home_bbs, out);
  std::fputc('\t', out);
  put_field(r.temp_zip, out);
  std::fputc('\t', out);
  put_field(r.temp_location, out);
  std::fputc('\n', out);
}

bool dump_file(const char* path, std::FILE* out) {
  std::FILE* in = std::fopen(path, "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "wptool: cannot open '%s'\n", path);
    return false;
  }
  WpRecord record;
  while (read_record(in, &record)) dump_record(record, out);
  bool ok = !std::ferror(in);
  std::fclose(in);
  if (!ok) std::fprintf(stderr, "wptool: error while reading '%s'\n", path);
  return ok && std::fflush(out) == 0;
}
