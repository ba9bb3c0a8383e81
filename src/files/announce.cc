// Update lines and update-file records.
#include "files/announce.h"

#include <cstdio>

#include "util/date_stamp.h"

namespace {

const char* or_question_mark(const char* text) { return text[0] == '\0' ? "?" : text; }

}  // namespace

void announce_update(RunContext& ctx, const WpRecord& r) {
  // Errors on either file are not looked at: an announcement never stops
  // the run.
  if (ctx.update_file != nullptr) write_record(ctx.update_file, &r);
  if (r.update_kind != 'U' && r.update_kind != 'G' && r.update_kind != 'I') return;
  std::fprintf(ctx.messages, "On %s %s/%c @ %s zip %s %s %s\n", stamp_yymmdd(get_time(r.last_update)), r.callsign,
               r.update_kind, or_question_mark(r.temp_home_bbs), or_question_mark(r.temp_zip),
               or_question_mark(r.name), or_question_mark(r.temp_location));
  ++ctx.counters.update_lines;
}
