// The search for libfaketime, over fake library trees of the architectures
// the suite runs on natively.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/faketime_lookup.h"

namespace fs = std::filesystem;

TEST(FaketimeLookup, TripletFolderFirstThenPlainFoldersNeverAnotherArchitecture) {
  struct Case {
    std::string triplet;
    std::vector<std::string> installed;  // library folders holding faketime/libfaketime.so.1
    std::string expected;                // "" for none
  } cases[] = {
      {"arm-linux-gnueabihf",
       {"usr/lib/x86_64-linux-gnu", "usr/lib/arm-linux-gnueabihf"},
       "usr/lib/arm-linux-gnueabihf"},
      {"aarch64-linux-gnu", {"usr/lib/aarch64-linux-gnu", "usr/lib"}, "usr/lib/aarch64-linux-gnu"},
      {"i386-linux-gnu", {"usr/lib/x86_64-linux-gnu", "usr/lib/i386-linux-gnu"}, "usr/lib/i386-linux-gnu"},
      {"s390x-linux-gnu", {"usr/lib/s390x-linux-gnu"}, "usr/lib/s390x-linux-gnu"},
      {"s390x-linux-gnu", {"usr/lib/x86_64-linux-gnu"}, ""},
      {"i386-linux-gnu", {"usr/lib/x86_64-linux-gnu", "usr/lib"}, "usr/lib"},
      {"aarch64-linux-gnu", {"usr/lib64"}, "usr/lib64"},
      {"", {"usr/lib/arm-linux-gnueabihf"}, "usr/lib/arm-linux-gnueabihf"},
      {"", {}, ""},
  };
  for (const Case& c : cases) {
    std::string pattern = (fs::temp_directory_path() / "kestol-lib-XXXXXX").string();
    std::string root = mkdtemp(pattern.data());
    for (const std::string& folder : c.installed) {
      fs::create_directories(root + "/" + folder + "/faketime");
      std::ofstream(root + "/" + folder + "/faketime/libfaketime.so.1") << "ELF";
    }
    std::string expected = c.expected.empty() ? "" : root + "/" + c.expected + "/faketime/libfaketime.so.1";
    EXPECT_EQ(expected, find_faketime_library(root, c.triplet)) << c.triplet;
    fs::remove_all(root);
  }
}
