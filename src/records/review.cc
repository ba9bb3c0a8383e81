// Record review, in the order of its rules: the first rule that drops the
// record ends it.
#include "records/review.h"

#include <cstring>

#include "files/announce.h"
#include "records/record_rules.h"

namespace {

// Forces a NUL into the last byte of every text field, so each one is
// terminated within its width whatever the file held.
void terminate_text_fields(WpRecord* r) {
  r->callsign[sizeof r->callsign - 1] = '\0';
  r->name[sizeof r->name - 1] = '\0';
  r->home_bbs[sizeof r->home_bbs - 1] = '\0';
  r->temp_home_bbs[sizeof r->temp_home_bbs - 1] = '\0';
  r->zip[sizeof r->zip - 1] = '\0';
  r->temp_zip[sizeof r->temp_zip - 1] = '\0';
  r->location[sizeof r->location - 1] = '\0';
  r->temp_location[sizeof r->temp_location - 1] = '\0';
}

// Copies a temporary field over its main field where the two differ in
// their first width - 1 characters; true when it did.
template <std::size_t N>
bool promote_field(char (&main_field)[N], const char (&temp_field)[N]) {
  if (std::strncmp(main_field, temp_field, N - 1) == 0) return false;
  copy_bounded(main_field, temp_field, N - 1);
  return true;
}

}  // namespace

int review_record(RunContext& ctx, WpRecord* r) {
  terminate_text_fields(r);
  if (!is_valid_callsign(r->callsign)) return kDrop;
  if (r->home_bbs[0] == '\0' || r->home_bbs[0] == '?') return kDrop;
  if (ctx.options.route_check && !is_valid_route(r->home_bbs)) return kDrop;
  if (ctx.duplicates.contains(r->callsign, ctx.counters.total)) return kDrop;
  if (get_time(r->last_seen) < ctx.config.kill_threshold) return kDrop;

  int answer = kKeep;
  if (get_time(r->last_update) < ctx.config.update_threshold) {
    if (promote_field(r->home_bbs, r->temp_home_bbs)) answer = kKeepUpdated;
    if (promote_field(r->zip, r->temp_zip)) answer = kKeepUpdated;
    if (promote_field(r->location, r->temp_location)) answer = kKeepUpdated;
  }
  if (r->update_kind != 0) {
    announce_update(ctx, *r);
    r->update_kind = 0;
  }
  return answer;
}
