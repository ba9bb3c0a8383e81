// Announcement of a pending update: the whole record appended to the
// update file, and an update line appended to mess.wp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/review.h"
#include "records/wp_record.h"
#include "util/output_buffer.h"

// The files announcements go to, and the count of update lines written.
// A write that fails sticks in the file's buffer for the caller to see.
struct Announcer {
  OutputBuffer messages;                 // mess.wp
  OutputBuffer update_file;              // fd -1 when none was named
  std::int32_t* update_lines = nullptr;  // counted per line written
};

// Room for the longest update line and its line feed.
constexpr std::size_t kUpdateLineSize = 256;

// True for the update kinds that give an update line: U, G and I.
bool has_update_line(unsigned char update_kind);

// Writes the update line of record, line feed included, into line (which
// holds kUpdateLineSize bytes) and answers its length. The record's text
// fields must be terminated within their widths. Control bytes in the
// printed fields come out as "?", so that no record can forge a line.
std::size_t format_update_line(const WpRecord& record, char* line);

// Appends record to the update file when one is open, and for the update
// kinds U, G and I writes its update line to mess.wp and counts it.
void announce_update(Announcer& announcer, const WpRecord& record);

// The sink through which the review hands pending updates to announcer.
AnnouncementSink announcement_sink(Announcer& announcer);
// Whether a write to either file of announcer has failed.
bool announcement_failed(const Announcer& announcer);
