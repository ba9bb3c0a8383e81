// Lists a white pages file one record per line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "records/wp_record.h"

// Writes a text field up to its NUL or its width, with tabs, line ends,
// backslashes and other unprintable bytes as \xhh, so it stays in its column.
void put_text(const char* field, std::size_t width, std::FILE* out);
template <std::size_t N>
void put_text(const char (&field)[N], std::FILE* out) {
  put_text(field, N, out);
}
// An update kind: "-" for none, the character, or \xhh.
void put_update_kind(unsigned char kind, std::FILE* out);
// A time as local "YYYY-MM-DD HH:MM:SS", or seconds where it has no date.
void put_time_text(std::int32_t seconds, std::FILE* out);

// Writes one tab-separated line for the record: callsign, name, update
// kind, last update, last seen, home BBS, zip, location, temporary home BBS,
// temporary zip, temporary location.
void dump_record(const WpRecord& record, std::FILE* out);
// Lists every whole record of path; false when it cannot be read.
bool dump_file(const char* path, std::FILE* out);
