// wptool status: the state of a site for a monitoring system, as one line
// with performance data, read without creating, changing or locking
// anything and without ever waiting.
#pragma once

// Monitoring statuses, as the monitoring-plugins conventions number them.
constexpr int kStatusOk = 0;
constexpr int kStatusWarning = 1;
constexpr int kStatusCritical = 2;
constexpr int kStatusUnknown = 3;

// The command line status takes. Each long option also takes its value
// as the next argument, and -w and -c the value joined to them; -V or
// --version writes the version line instead.
constexpr char kStatusUsage[] =
    "wptool status [-w HOURS] [-c HOURS] [--min-records=N] [--max-shrink=P] [--directory=DIR]";

// Checks the site in the working directory; argv[0] is "status", and the
// options of kStatusUsage may follow. Writes one line to standard output
// and answers the monitoring status.
int run_status(int argc, char** argv);
