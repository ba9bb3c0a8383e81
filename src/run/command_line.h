// The command line: switches, day counts and the update-file name.
#pragma once

#include <cstdio>

#include "run/run_context.h"

enum class CommandLineAction {
  run,                // options are set; go on with the run
  usage,              // /H: show the usage text on standard error, status 0
  help,               // -h, --help: the usage text on standard output, status 0
  version,            // show the version line, status 0
  name_long,          // update-file name over 255 characters, status 5
  unknown_option,     // a leading argument that is no option of kestol's
  invalid_option,     // --keep, --max-drop or --restore with a value out of range
  invalid_day_count,  // a day count that is not an optional sign and decimal digits
};

// Reads a day count as atoi does (leading white space, optional sign,
// leading digits; anything else gives 0), but clamps the value of the
// digits to the signed 32-bit range instead of overflowing.
std::int32_t parse_day_count(const char* text);

// An optional sign and decimal digits, nothing else.
bool is_day_count(const char* text);

// Parses argv into options: /H as the first argument; then the options
// (-h, --help, --version, --recover, -q, --quiet, --keep=K, --max-drop=P,
// --restore=N, in any case), any other leading argument that begins with "-" and a
// letter being refused; /NOC as the last argument; then the day counts
// and the update-file name. Upper-cases the last argument in place, as the
// update-file name given last is read from it. A refusal names its
// argument, as it was given, in options->argument.
CommandLineAction parse_command_line(int argc, char** argv, RunOptions* options);

// Does what action asks for before any run: the usage text, written by
// usage to standard error for /H and to standard output for -h and
// --help; the version line; the message of a refused argument. Answers
// true, with the exit status in *status, when that is all there is to do;
// false when a run is to follow.
bool answer_command_line(CommandLineAction action, const RunOptions& options, void (*usage)(std::FILE* out),
                         int* status);
