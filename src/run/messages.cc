// Usage text, version line and banner.
#include "run/messages.h"

#include <cstdio>

#include "util/quiet.h"

void write_usage(std::FILE* out) {
  std::fprintf(out, "\nKESTOL V %d.%d%c\n", kVersionMajor, kVersionMinor, kVersionLetter);
  std::fputs("format  : KESTOL [upd-days [kill-days [update-file]]]\n", out);
  std::fputs("defaults: upd-days = 40\n          kill-days= 90\n\n", out);
  std::fputs("If temporary part is stable during \"upd-days\" days,\n", out);
  std::fputs("temporary part updates main part of WP\n\n", out);
  std::fputs("If the callsign is not seen during \"kill-days\" days,\n", out);
  std::fputs("callsign is deleted from WP database\n\n", out);
  std::fputs("\"update-file\" stores the WP records corresponding to the\n", out);
  std::fputs("updates in a file which can be processed later (eg for statistics)\n\n", out);
  if (out == stderr) return;
  // Asked for by hand (-h, --help): the options too.
  std::fputs("options : --keep=K      keep K older backups, wp.old.1 to wp.old.K (0-9, default 3)\n", out);
  std::fputs("          --max-drop=P  undo a run that would drop more than P% of the records\n", out);
  std::fputs("          --restore=N   put backup N back as wp.sys (0: wp.old, 1: wp.old.1, ...)\n", out);
  std::fputs("          --recover     resolve the journal of an interrupted run\n", out);
  std::fputs("          -q, --quiet   write only failures and the notices of an interrupted run\n", out);
  std::fputs("          --version     show the version\n\n", out);
}

void write_version() { std::printf("Kestol V %d.%02d%c\n", kVersionMajor, kVersionMinor, kVersionLetter); }

void write_banner() {
  if (!quiet())
    std::fprintf(stderr, "\nKestol V %d.%02d%c\n\n", kVersionMajor, kVersionMinor, kVersionLetter);
}
