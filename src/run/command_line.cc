// Command-line parsing.
#include "run/command_line.h"

#include <cstring>

#include "run/failure.h"
#include "run/messages.h"
#include "util/text_case.h"

std::int32_t parse_day_count(const char* text) {
  const char* p = text;
  while (is_ascii_space(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  std::int64_t value = 0;  // saturates at 2^31, just past the 32-bit range
  for (; is_ascii_digit(static_cast<unsigned char>(*p)); ++p) {
    value = value * 10 + (*p - '0');
    if (value > INT64_C(2147483648)) value = INT64_C(2147483648);
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  return static_cast<std::int32_t>(value);
}

CommandLineAction parse_command_line(int argc, char** argv, RunOptions* options) {
  options->update_file[0] = '\0';
  int count = argc - 1;  // arguments after the program's name
  if (count >= 1) {
    const char* first = upcase_in_place(argv[1]);
    if (std::strcmp(first, "/H") == 0) return CommandLineAction::usage;
    if (std::strcmp(first, "-H") == 0 || std::strcmp(first, "--HELP") == 0) return CommandLineAction::help;
    if (std::strcmp(first, "--VERSION") == 0) return CommandLineAction::version;
    if (std::strcmp(first, "--RECOVER") == 0) return CommandLineAction::recover;
    const char* last = upcase_in_place(argv[count]);
    if (std::strncmp(last, "/NOC", 4) == 0) {
      options->route_check = false;
      --count;
    }
  }
  if (count >= 1) options->upd_days = parse_day_count(argv[1]);
  if (count >= 2) options->kill_days = parse_day_count(argv[2]);
  if (count >= 3) {
    if (std::strlen(argv[3]) >= sizeof options->update_file) return CommandLineAction::name_long;
    std::strcpy(options->update_file, argv[3]);
  }
  return CommandLineAction::run;
}

bool answer_command_line(CommandLineAction action, void (*usage)(std::FILE* out), bool* recover,
                         int* status) {
  *recover = action == CommandLineAction::recover;
  *status = 0;
  switch (action) {
    case CommandLineAction::usage:
      usage(stderr);
      return true;
    case CommandLineAction::help:
      usage(stdout);
      return true;
    case CommandLineAction::version:
      write_version();
      return true;
    case CommandLineAction::name_long:
      *status = report_failure({Failure::update_name_long});
      return true;
    case CommandLineAction::recover:
    case CommandLineAction::run:
      break;
  }
  return false;
}
