// Record review, in the order of its rules: the first rule that drops the
// record ends it.
#include "records/review.h"

#include <cstring>

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

// The drop rules in their order; DropRule::none when the record stays.
DropRule drop_rule(const ReviewInputs& in, WpRecord* r) {
  if (!is_valid_callsign(r->callsign)) return DropRule::callsign;
  if (r->home_bbs[0] == '\0' || r->home_bbs[0] == '?') return DropRule::missing_route;
  if (in.route_check && !is_valid_route(r->home_bbs)) return DropRule::route_shape;
  if (in.duplicates->contains(r->callsign, *in.total)) return DropRule::duplicate;
  if (get_time(r->last_seen) < in.kill_threshold) return DropRule::not_seen;
  return DropRule::none;
}

}  // namespace

int review_record(const ReviewInputs& in, WpRecord* r, ReviewNote* note) {
  terminate_text_fields(r);
  DropRule rule = drop_rule(in, r);
  unsigned promoted = 0;
  if (rule == DropRule::none && get_time(r->last_update) < in.update_threshold) {
    if (promote_field(r->home_bbs, r->temp_home_bbs)) promoted |= kPromotedHomeBbs;
    if (promote_field(r->zip, r->temp_zip)) promoted |= kPromotedZip;
    if (promote_field(r->location, r->temp_location)) promoted |= kPromotedLocation;
  }
  if (note != nullptr) *note = {rule, static_cast<unsigned char>(promoted)};
  if (rule != DropRule::none) return kDrop;
  if (r->update_kind != 0) {
    in.announcements.announce(in.announcements.target, *r);
    r->update_kind = 0;
  }
  return promoted != 0 ? kKeepUpdated : kKeep;
}
