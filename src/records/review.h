// The review of one record: normalise it, decide whether it stays, promote
// a stable temporary part and hand a pending update on. Everything it reads
// besides the record comes in through ReviewInputs, so the run, the preview
// and the tests all use the very same rules.
#pragma once

#include <cstdint>

#include "records/duplicate_filter.h"
#include "records/wp_record.h"

enum ReviewAnswer { kDrop = 0, kKeep = 1, kKeepUpdated = 2 };

// Receives every kept record that carries a pending update, as the review
// has left it (promoted, update_kind still set), before update_kind is
// cleared.
struct AnnouncementSink {
  void (*announce)(void* target, const WpRecord& record);
  void* target;
};

// What the review depends on.
struct ReviewInputs {
  bool route_check;                   // off with /NOC
  std::int32_t update_threshold;      // promote when last_update is before it
  std::int32_t kill_threshold;        // drop when last_seen is before it
  const DuplicateFilter* duplicates;  // drop when the callsign is in it
  const std::int32_t* total;          // records counted so far, for the duplicate message
  AnnouncementSink announcements;
};

// The rule that dropped a record.
enum class DropRule : unsigned char { none, callsign, missing_route, route_shape, duplicate, not_seen };

// Main fields the review promoted, as a bit set.
enum PromotedField : unsigned char { kPromotedHomeBbs = 1, kPromotedZip = 2, kPromotedLocation = 4 };

// Why the review answered as it did, for views that explain a run.
struct ReviewNote {
  DropRule rule;
  unsigned char promoted;
};

// Reviews record in place; answers drop, keep or keep-updated. When note
// is given, it says which rule dropped the record or which fields were
// promoted.
int review_record(const ReviewInputs& inputs, WpRecord* record, ReviewNote* note = nullptr);
