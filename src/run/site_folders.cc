// Opening init.srv and the folders of the run's files.
#include "run/site_folders.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "files/path_walk.h"
#include "files/safe_folder.h"
#include "util/fd_io.h"

Failed open_init(RunContext& ctx, int* fd) {
  *fd = -1;
  if (!ctx.strict) {
    *fd = open_init_file();
    return {};
  }
  OpenFolder here;
  WalkResult r = open_folder(".", {true, true}, &here, ctx.shown);
  close_folder(&here);
  OpenFolder holder;
  char name[kNameSize];
  if (r == WalkResult::opened) r = open_file_folder("init.srv", {true, true}, &holder, name, ctx.shown);
  if (r != WalkResult::opened) return {Failure::insecure_folder, ctx.shown};
  struct stat st;
  *fd = open_regular_at(holder.fd, name, O_RDONLY, 0, Links::refuse, &st);
  close_folder(&holder);
  if (*fd >= 0 && (st.st_uid != 0 || writable_by_others(*fd, st, true))) {
    close_fd(*fd);
    *fd = -1;
    return {Failure::insecure_init_file, "init.srv"};
  }
  return {};
}

Failed read_configuration(int init, std::int32_t start, const RunOptions& options, SiteConfig* config) {
  switch (read_site_config(init, start, options.upd_days, options.kill_days, config)) {
    case ConfigResult::read:
      return {};
    case ConfigResult::no_file:
      return {Failure::no_init_file};
    case ConfigResult::no_base_directory:
      return {Failure::no_base_directory};
  }
  return {};
}

Failed open_folders(RunContext& ctx) {
  const WalkOptions options = {ctx.strict, true};
  if (open_folder(ctx.config.folder_path, options, &ctx.folder, ctx.shown) == WalkResult::insecure) {
    return {Failure::insecure_folder, ctx.shown};
  }
  if (ctx.options.update_file[0] != '\0' &&
      open_file_folder(ctx.options.update_file, options, &ctx.update_folder, ctx.update_name, ctx.shown) ==
          WalkResult::insecure) {
    return {Failure::insecure_update_folder, ctx.shown};
  }
  return {};
}
