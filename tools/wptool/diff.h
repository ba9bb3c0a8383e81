// wptool diff: what a run changed, from its backup and the rewritten
// database, record by record.
#pragma once

#include <cstdio>

// Matches the whole records of new_path to those of old_path and writes
// to out, tab-separated and in the order of old_path: "dropped" for each
// record with no match, "changed" for each field that differs in a matched
// pair, "added" (index in new_path) for a record of new_path with no match,
// then the counts. False, with a message, when a file cannot be read.
bool diff_files(const char* old_path, const char* new_path, std::FILE* out);
