// Finding libfaketime, which the end-to-end tests preload to freeze the
// clock: Debian puts it in the multiarch folder of the architecture, other
// systems in a plain or a 64-bit library folder.
#pragma once

#include <string>

// The path of libfaketime.so.1 below root ("" for the real root): first in
// the folder of the multiarch triplet, then in the plain library folders,
// and, when the triplet is empty (not known), in any multiarch folder
// under /usr/lib. Empty when there is none.
std::string find_faketime_library(const std::string& root, const std::string& triplet);
