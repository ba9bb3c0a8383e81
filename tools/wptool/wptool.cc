// wptool: lists a white pages file, writes a reproducible synthetic
// database, shows what a run would do and what a run did, for operators
// and tests.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/wptool/diff.h"
#include "tools/wptool/dump.h"
#include "tools/wptool/generate.h"
#include "tools/wptool/preview.h"

namespace {

void write_usage(std::FILE* out) {
  std::fputs(
      "usage: wptool dump FILE\n"
      "       wptool gen N [SEED [NOW]]\n"
      "       wptool preview [upd-days [kill-days [update-file]]] [/NOC] [--at TIME]\n"
      "       wptool diff OLD NEW\n"
      "dump lists FILE one record per line, tab-separated.\n"
      "gen writes N records to standard output; SEED (default 1) picks the\n"
      "data, NOW (seconds since 1970, default 1796731200, 2026-12-08 12:00 UTC)\n"
      "anchors their times.\n"
      "preview shows what kestol with these arguments would drop, promote and\n"
      "announce, at TIME (seconds since 1970 or local YYYY-MM-DD HH:MM:SS) or now,\n"
      "and its summary; it changes nothing.\n"
      "diff shows what a run changed, e.g. wptool diff data/wp/wp.old data/wp/wp.sys.\n",
      out);
}

// Parses a whole decimal number; false on anything else.
bool parse_number(const char* text, long long* value) {
  char* end = nullptr;
  *value = std::strtoll(text, &end, 10);
  return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    write_usage(stdout);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "preview") == 0) return run_preview(argc - 1, argv + 1);
  if (argc == 4 && std::strcmp(argv[1], "diff") == 0) return diff_files(argv[2], argv[3], stdout) ? 0 : 1;
  if (argc == 3 && std::strcmp(argv[1], "dump") == 0) return dump_file(argv[2], stdout) ? 0 : 1;
  if (argc >= 3 && argc <= 5 && std::strcmp(argv[1], "gen") == 0) {
    long long count = 0;
    long long seed = 1;
    long long now = kDefaultGenerateNow;
    if (!parse_number(argv[2], &count) || count < 0 || (argc >= 4 && !parse_number(argv[3], &seed)) ||
        (argc == 5 && !parse_number(argv[4], &now)) || now < INT32_MIN || now > INT32_MAX) {
      write_usage(stderr);
      return 2;
    }
    return generate_database(count, static_cast<unsigned long long>(seed), static_cast<std::int32_t>(now),
                             stdout)
               ? 0
               : 1;
  }
  write_usage(stderr);
  return 2;
}
