// Command-line parsing.
#include "run/command_line.h"

#include <cstdio>
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

bool is_day_count(const char* text) {
  const char* p = text;
  if (*p == '+' || *p == '-') ++p;
  if (!is_ascii_digit(static_cast<unsigned char>(*p))) return false;
  while (is_ascii_digit(static_cast<unsigned char>(*p))) ++p;
  return *p == '\0';
}

namespace {

// An argument that asks for an option: "-" or "--" and a letter.
bool is_option(const char* text) {
  const char* p = text[0] == '-' && text[1] == '-' ? text + 2 : text + 1;
  return text[0] == '-' &&
         (is_ascii_upper(static_cast<unsigned char>(*p)) || is_ascii_lower(static_cast<unsigned char>(*p)));
}

// text upper-cased into upper (cut to its size).
void upper_copy(const char* text, char (&upper)[64]) {
  std::strncpy(upper, text, sizeof upper - 1);
  upper[sizeof upper - 1] = '\0';
  upcase_in_place(upper);
}

// Whether text, whatever its case, is name.
bool is_named(const char* text, const char* name) {
  char upper[64];
  upper_copy(text, upper);
  return std::strlen(text) < sizeof upper && std::strcmp(upper, name) == 0;
}

// The value of "--NAME=VALUE" (in any case) when text is that option: a
// decimal number from 0 to most; -2 when the option is given with another
// value, -1 when text is not that option.
int option_value(const char* text, const char* name, int most) {
  char upper[64];
  upper_copy(text, upper);
  std::size_t length = std::strlen(name);
  if (std::strncmp(upper, name, length) != 0) return -1;
  const char* p = text + length;
  int value = 0;
  if (*p == '\0') return -2;
  for (; *p != '\0'; ++p) {
    if (!is_ascii_digit(static_cast<unsigned char>(*p)) || value > most) return -2;
    value = value * 10 + (*p - '0');
  }
  return value <= most ? value : -2;
}

}  // namespace

CommandLineAction parse_command_line(int argc, char** argv, RunOptions* options) {
  options->update_file[0] = '\0';
  int count = argc - 1;  // arguments after the program's name
  if (count >= 1 && is_named(argv[1], "/H")) return CommandLineAction::usage;
  int first = 1;  // the first positional argument
  for (; first <= count && is_option(argv[first]); ++first) {
    const char* arg = argv[first];
    if (is_named(arg, "-H") || is_named(arg, "--HELP")) return CommandLineAction::help;
    if (is_named(arg, "--VERSION")) return CommandLineAction::version;
    options->argument = arg;
    if (is_named(arg, "--RECOVER")) {
      options->recover = true;
      continue;
    }
    if (is_named(arg, "-Q") || is_named(arg, "--QUIET")) {
      options->quiet = true;
      continue;
    }
    const struct {
      const char* name;
      int most;
      int* value;
    } valued[] = {{"--KEEP=", 9, &options->keep},
                  {"--MAX-DROP=", 100, &options->max_drop},
                  {"--RESTORE=", 9, &options->restore}};
    bool known = false;
    for (const auto& option : valued) {
      int value = option_value(arg, option.name, option.most);
      if (value == -1) continue;
      if (value == -2) return CommandLineAction::invalid_option;
      *option.value = value;
      if (option.value == &options->keep) options->keep_given = true;
      known = true;
    }
    if (!known) return CommandLineAction::unknown_option;
  }
  if (count >= first) {
    // A refusal names the last argument as it was given.
    std::snprintf(options->given_last, sizeof options->given_last, "%s", argv[count]);
    const char* last = upcase_in_place(argv[count]);
    if (std::strncmp(last, "/NOC", 4) == 0) {
      options->route_check = false;
      --count;
    }
  }
  int positional = count - first + 1;
  for (int i = 0; i < positional && i < 2; ++i) {
    if (!is_day_count(argv[first + i])) {
      options->argument = first + i == argc - 1 ? options->given_last : argv[first + i];
      return CommandLineAction::invalid_day_count;
    }
  }
  if (positional >= 1) options->upd_days = parse_day_count(argv[first]);
  if (positional >= 2) options->kill_days = parse_day_count(argv[first + 1]);
  if (positional >= 3) {
    if (std::strlen(argv[first + 2]) >= sizeof options->update_file) return CommandLineAction::name_long;
    std::strcpy(options->update_file, argv[first + 2]);
  }
  options->argument = nullptr;
  return CommandLineAction::run;
}

bool answer_command_line(CommandLineAction action, const RunOptions& options, void (*usage)(std::FILE* out),
                         int* status) {
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
      *status = report_failure(fail(Failure::update_name_long));
      return true;
    case CommandLineAction::unknown_option:
      *status = report_failure(fail(Failure::unknown_option, options.argument));
      return true;
    case CommandLineAction::invalid_option:
      *status = report_failure(fail(Failure::invalid_option, options.argument));
      return true;
    case CommandLineAction::invalid_day_count:
      *status = report_failure(fail(Failure::invalid_day_count, options.argument));
      return true;
    case CommandLineAction::run:
      break;
  }
  return false;
}
