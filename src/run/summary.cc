// Run summary on standard output and in kestol.res.
#include "run/summary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "run/result_file.h"
#include "util/date_stamp.h"
#include "util/fd_io.h"
#include "util/quiet.h"
#include "util/system_calls.h"

namespace {

// The result file, rewritten: a regular file of the run's own user with
// one name, reached without a symbolic link, emptied only once that is
// known (a hard link made to another file must not get it emptied).
// nullptr when it cannot be.
std::FILE* open_result_file(const char* path) {
  struct stat st;
  int fd = open_regular(path, O_WRONLY | O_CREAT, 0666, Links::refuse, &st);
  if (fd < 0) return nullptr;
  bool ours = st.st_uid == ::geteuid() && st.st_nlink == 1;
  std::FILE* result = ours && sys().ftruncate(fd, 0) == 0 ? fdopen(fd, "w") : nullptr;
  if (result == nullptr) close_fd(fd);
  return result;
}

}  // namespace

void write_summary_counts(const RunCounters& c) {
  std::printf("\n");
  std::printf("WP updated : %5ld total records        \n", static_cast<long>(c.total));
  std::printf("           : %5ld updated record(s)    \n", static_cast<long>(c.updated));
  std::printf("           : %5ld deleted record(s)    \n", static_cast<long>(c.deleted));
  std::printf("           : %5ld WP update line(s)    \n\n", static_cast<long>(c.update_lines));
}

void write_summary(const RunContext& ctx) {
  if (!quiet()) write_summary_counts(ctx.counters);
  const RunCounters& c = ctx.counters;
  std::FILE* result = open_result_file(ctx.config.result_file_name);
  if (result == nullptr) return;
  write_result_head(result, {ctx.start_time, c.total, c.updated, c.deleted, c.update_lines});
  std::fprintf(result, "Start computing     : %s\n", stamp_date_time(ctx.start_time));
  std::fprintf(result, "End computing       : %s\n", stamp_date_time(sys().time(nullptr)));
  std::fclose(result);
}
