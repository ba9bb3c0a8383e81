// The search for libfaketime over the library folders.
#include "tests/e2e/faketime_lookup.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* kLibrary = "/faketime/libfaketime.so.1";

bool readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

}  // namespace

std::string find_faketime_library(const std::string& root, const std::string& triplet) {
  std::vector<std::string> candidates;
  if (!triplet.empty()) candidates.push_back(root + "/usr/lib/" + triplet + kLibrary);
  for (const char* folder : {"/usr/lib", "/usr/lib64", "/usr/lib32", "/usr/local/lib", "/lib64", "/lib"}) {
    candidates.push_back(root + folder + kLibrary);
  }
  for (const std::string& candidate : candidates) {
    if (readable(candidate)) return candidate;
  }
  // Another architecture's library would only be ignored by the loader,
  // so the other multiarch folders are searched only by a build that did
  // not know its triplet, in name order so that the choice is stable.
  if (!triplet.empty()) return "";
  std::vector<std::string> folders;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root + "/usr/lib", error)) {
    if (entry.is_directory(error)) folders.push_back(entry.path().string());
  }
  std::sort(folders.begin(), folders.end());
  for (const std::string& folder : folders) {
    if (readable(folder + kLibrary)) return folder + kLibrary;
  }
  return "";
}
