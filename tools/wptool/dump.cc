// Record listing for wptool.
#include "tools/wptool/dump.h"

#include <cstdint>

#include "util/date_stamp.h"

void put_text(const char* field, std::size_t width, std::FILE* out) {
  for (std::size_t i = 0; i < width && field[i] != '\0'; ++i) {
    auto c = static_cast<unsigned char>(field[i]);
    if (c < 0x20 || c >= 0x7f || c == '\\') {
      std::fprintf(out, "\\x%02x", c);
    } else {
      std::fputc(c, out);
    }
  }
}

void put_update_kind(unsigned char kind, std::FILE* out) {
  if (kind == 0) {
    std::fputc('-', out);
  } else if (kind >= 0x21 && kind < 0x7f && kind != '\\') {
    std::fputc(kind, out);
  } else {
    std::fprintf(out, "\\x%02x", kind);
  }
}

void put_time_text(std::int32_t seconds, std::FILE* out) {
  char text[64];
  std::fputs(format_local_time(seconds, "%Y-%m-%d %H:%M:%S", text, sizeof text), out);
}

void dump_record(const WpRecord& r, std::FILE* out) {
  put_text(r.callsign, out);
  std::fputc('\t', out);
  put_text(r.name, out);
  std::fputc('\t', out);
  put_update_kind(r.update_kind, out);
  std::fputc('\t', out);
  put_time_text(get_time(r.last_update), out);
  std::fputc('\t', out);
  put_time_text(get_time(r.last_seen), out);
  std::fputc('\t', out);
  put_text(r.home_bbs, out);
  std::fputc('\t', out);
  put_text(r.zip, out);
  std::fputc('\t', out);
  put_text(r.location, out);
  std::fputc('\t', out);
  put_text(r.temp_home_bbs, out);
  std::fputc('\t', out);
  put_text(r.temp_zip, out);
  std::fputc('\t', out);
  put_text(r.temp_location, out);
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
