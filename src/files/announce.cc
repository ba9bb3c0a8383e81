// Update lines and update-file records.
#include "files/announce.h"

#include <cstring>

#include "util/date_stamp.h"

namespace {

// Appends the text of a field with every byte below 0x20, and 0x7f, as
// "?", and answers the new end.
char* append_printable(char* out, const char* text, std::size_t width) {
  for (std::size_t i = 0; i < width && text[i] != '\0'; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    *out++ = c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
  }
  return out;
}

// Appends the field as above, or "?" when it is empty.
char* append_or_question_mark(char* out, const char* text, std::size_t width) {
  if (text[0] == '\0') {
    *out++ = '?';
    return out;
  }
  return append_printable(out, text, width);
}

char* append(char* out, const char* text, std::size_t n) {
  std::memcpy(out, text, n);
  return out + n;
}

void announce_to(void* announcer, const WpRecord& record) {
  announce_update(*static_cast<Announcer*>(announcer), record);
}

}  // namespace

bool has_update_line(unsigned char update_kind) {
  return update_kind == 'U' || update_kind == 'G' || update_kind == 'I';
}

std::size_t format_update_line(const WpRecord& r, char* line) {
  // "On %s %s/%c @ %s zip %s %s %s\n", assembled by hand: this runs for a
  // good share of the records and formatted output costs several times more.
  static_assert(kUpdateLineSize >= 16 + 48 + sizeof r.callsign + sizeof r.temp_home_bbs + sizeof r.temp_zip +
                                       sizeof r.name + sizeof r.temp_location);
  char* p = append(line, "On ", 3);
  const char* date = stamp_yymmdd(get_time(r.last_update));
  p = append(p, date, std::strlen(date));
  *p++ = ' ';
  p = append_printable(p, r.callsign, sizeof r.callsign);
  *p++ = '/';
  *p++ = static_cast<char>(r.update_kind);
  p = append(p, " @ ", 3);
  p = append_or_question_mark(p, r.temp_home_bbs, sizeof r.temp_home_bbs);
  p = append(p, " zip ", 5);
  p = append_or_question_mark(p, r.temp_zip, sizeof r.temp_zip);
  *p++ = ' ';
  p = append_or_question_mark(p, r.name, sizeof r.name);
  *p++ = ' ';
  p = append_or_question_mark(p, r.temp_location, sizeof r.temp_location);
  *p++ = '\n';
  return static_cast<std::size_t>(p - line);
}

void announce_update(Announcer& announcer, const WpRecord& r) {
  // A failed write stays in its buffer's state; the record loop checks it.
  if (output_fd(announcer.update_file) >= 0) put_output(announcer.update_file, &r, sizeof r);
  if (!has_update_line(r.update_kind)) return;
  char line[kUpdateLineSize];
  if (put_output(announcer.messages, line, format_update_line(r, line))) ++*announcer.update_lines;
}

AnnouncementSink announcement_sink(Announcer& announcer) { return {announce_to, &announcer}; }

bool announcement_failed(const Announcer& announcer) {
  return output_failed(announcer.messages) || output_failed(announcer.update_file);
}
