// Reading init.srv and deriving the paths and thresholds of a run.
#include "config/site_config.h"

#include <fcntl.h>

#include <cstdint>
#include <cstring>
#include <iterator>

#include "util/fd_io.h"
#include "util/text_case.h"

char* clean_line(char* text) {
  std::size_t length = std::strlen(text);
  if (length > 0 && text[length - 1] == '\n') text[--length] = '\0';
  if (length > 0 && text[length - 1] == '\r') text[--length] = '\0';
  if (length > 0 && text[0] == '\x1a') text[0] = '\0';
  return text;
}

bool read_base_directory(std::FILE* in, char (&base)[kConfigLineSize]) {
  char line[kConfigLineSize];
  int significant = 0;
  base[0] = '\0';
  // A read error ends the reading like the end of the file.
  while (std::fgets(line, sizeof line, in) != nullptr) {
    clean_line(line);
    if (line[0] == '\0' || line[0] == '#') continue;
    ++significant;
    if (significant == 5) std::memcpy(base, downcase_in_place(line), sizeof line);
  }
  return significant >= 5;
}

std::int32_t compute_threshold(std::int32_t start_time, std::int32_t days) {
  std::int64_t threshold = static_cast<std::int64_t>(start_time) - static_cast<std::int64_t>(days) * 86400;
  if (threshold > INT32_MAX) return INT32_MAX;
  if (threshold < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(threshold);
}

namespace {

// base + folder + name; the base holds at most 79 characters, so every
// path fits.
void join_path(char (&path)[kPathSize], const char* base, const char* folder, const char* name) {
  std::snprintf(path, sizeof path, "%s%s%s", base, folder, name);
}

}  // namespace

int open_init_file() { return open_regular("init.srv", O_RDONLY, 0, Links::follow); }

ConfigResult read_site_config(int fd, std::int32_t start_time, std::int32_t upd_days, std::int32_t kill_days,
                              SiteConfig* config) {
  std::FILE* in = fd >= 0 ? fdopen(fd, "r") : nullptr;
  if (in == nullptr) {
    if (fd >= 0) close_fd(fd);
    return ConfigResult::no_file;
  }
  bool found = read_base_directory(in, config->base_directory);
  std::fclose(in);  // read-only: nothing to lose on close
  if (!found) return ConfigResult::no_base_directory;
  const char* base = config->base_directory;
  join_path(config->folder_path, base, "wp/", "");
  join_path(config->database_path, base, "wp/", kDatabaseName);
  join_path(config->backup_path, base, "wp/", kBackupName);
  join_path(config->new_backup_path, base, "wp/", kNewBackupName);
  join_path(config->update_message_path, base, "wp/", kMessagesName);
  join_path(config->lock_path, base, "wp/", kLockName);
  join_path(config->added_path, base, "wp/", kAddedName);
  for (std::size_t i = 0; i < std::size(config->spool_paths); ++i) {
    join_path(config->spool_paths[i], base, "wp/", kSpoolNames[i]);
  }
  join_path(config->result_file_name, "", "", "kestol.res");
  config->update_threshold = compute_threshold(start_time, upd_days);
  config->kill_threshold = compute_threshold(start_time, kill_days);
  return ConfigResult::read;
}
