// Update lines and update-file records.
#include "files/announce.h"

#include <cstring>

#include "util/date_stamp.h"

namespace {

// Appends text, or "?" when it is empty, and answers the new end.
char* append_or_question_mark(char* out, const char* text, std::size_t width) {
  if (text[0] == '\0') {
    *out++ = '?';
    return out;
  }
  std::size_t n = strnlen(text, width);
  std::memcpy(out, text, n);
  return out + n;
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
  p = append(p, r.callsign, strnlen(r.callsign, sizeof r.callsign));
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
  // Errors on either file are not looked at: an announcement never stops
  // the run.
  if (announcer.update_file != nullptr) write_record(announcer.update_file, &r);
  if (!has_update_line(r.update_kind)) return;
  char line[kUpdateLineSize];
  std::fwrite(line, 1, format_update_line(r, line), announcer.messages);
  ++*announcer.update_lines;
}

AnnouncementSink announcement_sink(Announcer& announcer) { return {announce_to, &announcer}; }
