// wptool: lists a white pages file, writes a reproducible synthetic
// database, shows what a run would do and what a run did, and reports the
// state of a site to a monitoring system, for operators and tests.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run/failure.h"
#include "tools/wptool/diff.h"
#include "tools/wptool/dump.h"
#include "tools/wptool/generate.h"
#include "tools/wptool/preview.h"
#include "tools/wptool/status.h"
#include "tools/wptool/version.h"

namespace {

void write_wptool_usage(std::FILE* out) {
  std::fputs(
      "usage: wptool dump FILE\n"
      "       wptool gen N [SEED [NOW]]\n"
      "       wptool preview [--max-drop=P] [upd-days [kill-days [update-file]]] [/NOC] [--at TIME]\n"
      "       wptool diff OLD NEW\n"
      "       ",
      out);
  std::fputs(kStatusUsage, out);
  std::fputs(
      "\n"
      "       wptool -h | --help | --version\n"
      "dump lists FILE one record per line, tab-separated.\n"
      "gen writes N records to standard output; SEED (default 1) picks the\n"
      "data, NOW (seconds since 1970, default 1796731200, 2026-12-08 12:00 UTC)\n"
      "anchors their times.\n"
      "preview shows what kestol with these arguments would drop, promote and\n"
      "announce, at TIME (seconds since 1970 or local YYYY-MM-DD HH:MM:SS) or now,\n"
      "and its summary; it changes nothing.\n"
      "diff shows what a run changed, e.g. wptool diff data/wp/wp.old data/wp/wp.sys.\n"
      "status reports the last run, the records and any run in progress or\n"
      "interrupted in one line for a monitoring system (exit 0 OK, 1 WARNING,\n"
      "2 CRITICAL, 3 UNKNOWN); WARNING past 26 hours (-w, --warning), CRITICAL\n"
      "past 50 (-c, --critical), with fewer than 1 record (--min-records) or\n"
      "more than 50% fewer than in the backup wp.old (--max-shrink) by default;\n"
      "-V prints the version.\n",
      out);
}

// Parses a whole decimal number from min to max; false on anything else.
bool parse_number(const char* text, long long min, long long max, long long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtoll(text, &end, 10);
  return end != text && *end == '\0' && errno == 0 && *value >= min && *value <= max;
}

// Names the bad argument, then the usage: wptool's usage status.
int usage_error(const char* what, const char* argument) {
  std::fprintf(stderr, "wptool: %s '%s'\n", what, argument);
  write_wptool_usage(stderr);
  return 2;
}

// wptool gen N [SEED [NOW]].
int generate(int argc, char** argv) {
  long long count = 0;
  long long seed = 1;
  long long now = kDefaultGenerateNow;
  if (!parse_number(argv[2], 0, LLONG_MAX, &count)) return usage_error("bad record count", argv[2]);
  if (argc >= 4 && !parse_number(argv[3], LLONG_MIN, LLONG_MAX, &seed)) {
    return usage_error("bad seed", argv[3]);
  }
  if (argc == 5 && !parse_number(argv[4], INT32_MIN, INT32_MAX, &now)) {
    return usage_error("bad time", argv[4]);
  }
  return generate_database(count, static_cast<unsigned long long>(seed), static_cast<std::int32_t>(now),
                           stdout)
             ? 0
             : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* command = argc >= 2 ? argv[1] : "";
  if (std::strcmp(command, "-h") == 0 || std::strcmp(command, "--help") == 0) {
    write_wptool_usage(stdout);
    return 0;
  }
  if (std::strcmp(command, "--version") == 0) {
    write_wptool_version(stdout);
    return 0;
  }
  set_program_name("wptool");
  if (std::strcmp(command, "preview") == 0) return run_preview(argc - 1, argv + 1);
  if (std::strcmp(command, "status") == 0) return run_status(argc - 1, argv + 1);
  if (argc == 4 && std::strcmp(command, "diff") == 0) return diff_files(argv[2], argv[3], stdout) ? 0 : 1;
  if (argc == 3 && std::strcmp(command, "dump") == 0) return dump_file(argv[2], stdout) ? 0 : 1;
  if (argc >= 3 && argc <= 5 && std::strcmp(command, "gen") == 0) return generate(argc, argv);
  if (std::strcmp(command, "diff") == 0 || std::strcmp(command, "dump") == 0 ||
      std::strcmp(command, "gen") == 0) {
    return usage_error("wrong number of arguments for", command);
  }
  if (argc < 2) {
    write_wptool_usage(stderr);
    return 2;
  }
  return usage_error("unknown command", command);
}
