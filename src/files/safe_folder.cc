// Ownership and permission check of a folder.
#include "files/safe_folder.h"

#include <sys/stat.h>

bool folder_is_root_only(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0) return true;
  if (st.st_uid != 0) return false;
  if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0) return false;
  return (st.st_mode & S_IWOTH) == 0;
}
