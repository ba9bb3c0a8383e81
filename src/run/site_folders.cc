// Opening init.srv and the folders of the run's files.
#include "run/site_folders.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "files/path_walk.h"
#include "files/safe_folder.h"
#include "util/fd_io.h"

namespace {

// Walks path with the run's checks.
WalkResult walk(const RunContext& ctx, const char* path, bool names_file, OpenFolder* folder,
                char (&name)[kNameSize], char (&shown)[kRealPathSize]) {
  return walk_path({path, nullptr, ctx.strict, true, names_file}, folder, name, shown);
}

}  // namespace

Failed open_init(RunContext& ctx, int* fd) {
  *fd = -1;
  if (!ctx.strict) {
    *fd = open_init_file();
    ctx.init_error = errno;
    return {};
  }
  OpenFolder here;
  OpenFolder holder;
  char name[kNameSize];
  WalkResult r = walk(ctx, ".", false, &here, name, ctx.shown);
  close_folder(&here);
  if (r == WalkResult::opened) r = walk(ctx, "init.srv", true, &holder, name, ctx.shown);
  if (r == WalkResult::insecure) return fail(Failure::insecure_folder, ctx.shown);
  if (r == WalkResult::insecure_file) return fail(Failure::insecure_init_file, "init.srv");
  struct stat st;
  *fd = r == WalkResult::opened ? open_regular_at(holder.fd, name, O_RDONLY, 0, Links::refuse, &st) : -1;
  ctx.init_error = errno;
  close_folder(&holder);
  if (*fd >= 0 && (st.st_uid != 0 || writable_by_others(*fd, st, true))) {
    close_fd(*fd);
    *fd = -1;
    return fail(Failure::insecure_init_file, "init.srv");
  }
  return {};
}

Failed read_configuration(int init, int open_error, std::int32_t start, const RunOptions& options,
                          SiteConfig* config) {
  switch (read_site_config(init, start, options.upd_days, options.kill_days, config)) {
    case ConfigResult::read:
      return {};
    case ConfigResult::no_file:
      return fail_call(Failure::no_init_file, open_error, "init.srv");
    case ConfigResult::no_base_directory:
      return fail(Failure::no_base_directory);
  }
  return {};
}

Failed open_folders(RunContext& ctx) {
  // A folder that is not there shows as the failed open of the first file
  // the run needs in it.
  char unused[kNameSize];
  WalkResult r = walk(ctx, ctx.config.folder_path, false, &ctx.folder, unused, ctx.shown);
  if (r == WalkResult::insecure) return fail(Failure::insecure_folder, ctx.shown);
  ctx.folder_error = r == WalkResult::failed ? errno : 0;
  if (ctx.options.update_file[0] == '\0') return {};
  r = walk(ctx, ctx.options.update_file, true, &ctx.update_folder, ctx.update_name, ctx.shown);
  if (r == WalkResult::insecure) return fail(Failure::insecure_update_folder, ctx.shown);
  if (r == WalkResult::insecure_file) return fail(Failure::insecure_update_file, ctx.shown);
  ctx.update_folder_error = r == WalkResult::failed ? errno : 0;
  return {};
}
