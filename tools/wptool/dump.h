// Lists a white pages file one record per line.
#pragma once

#include <cstdio>

#include "records/wp_record.h"

// Writes one tab-separated line for the record: callsign, name, update
// kind, last update, last seen, home BBS, zip, location, temporary home BBS,
// temporary zip, temporary location.
void dump_record(const WpRecord& record, std::FILE* out);
// Lists every whole record of path; false when it cannot be read.
bool dump_file(const char* path, std::FILE* out);
