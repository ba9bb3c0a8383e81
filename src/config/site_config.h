// The site configuration: the base directory read from init.srv, the file
// paths derived from it and the two time thresholds.
#pragma once

#include <cstdint>
#include <cstdio>

#include "files/file_names.h"

constexpr int kPathSize = 256;       // 255 characters and a NUL
constexpr int kConfigLineSize = 80;  // one read takes at most 79 characters

struct SiteConfig {
  char base_directory[kConfigLineSize];
  char folder_path[kPathSize];          // base + "wp/", the database's folder
  char database_path[kPathSize];        // base + "wp/wp.sys"
  char backup_path[kPathSize];          // base + "wp/wp.old"
  char new_backup_path[kPathSize];      // base + "wp/wp.new", the backup a run makes
  char update_message_path[kPathSize];  // base + "wp/mess.wp"
  char lock_path[kPathSize];            // base + "wp/kestol.lck"
  char added_path[kPathSize];           // base + "wp/wp.add"
  char spool_paths[2][kPathSize];       // base + "wp/mess.spool", "wp/update.spool"
  char result_file_name[kPathSize];     // "kestol.res", working directory
  std::int32_t update_threshold;
  std::int32_t kill_threshold;
};

// Removes a trailing line feed, then a trailing carriage return, and empties
// a text that starts with Ctrl-Z. Answers the text.
char* clean_line(char* text);

// Reads lines as fgets does into an 80-byte buffer and copies the fifth
// significant one, lower-cased, into base. False when there are fewer than
// five significant lines.
bool read_base_directory(std::FILE* in, char (&base)[kConfigLineSize]);

// start - days * 86400, computed in 64 bits and clamped to the signed
// 32-bit range.
std::int32_t compute_threshold(std::int32_t start_time, std::int32_t days);

// Opens init.srv in the working directory for reading: it may be a
// symbolic link, but must lead to a regular file (a FIFO or a device would
// hold the run for ever). -1 when it cannot be.
int open_init_file();

enum class ConfigResult { read, no_file, no_base_directory };

// Reads the open init.srv fd (closing it; -1: none could be opened) and
// fills config: no_base_directory when it has fewer than five significant
// lines. Writes nothing.
ConfigResult read_site_config(int fd, std::int32_t start_time, std::int32_t upd_days, std::int32_t kill_days,
                              SiteConfig* config);
