// Day-count conversion and command-line parsing.
#include "run/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(ParseDayCount, ReadsLikeAtoiWithoutOverflow) {
  struct Case {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"40", 40},
      {"  \t7", 7},
      {"+12", 12},
      {"-3", -3},
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"- 5", 0},
      {"/HELP", 0},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"99999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-99999999999999999999", INT32_MIN},
      {"007", 7},
      {"1e3", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value, parse_day_count(c.text)) << '"' << c.text << '"';
}

namespace {

struct Parsed {
  CommandLineAction action;
  RunOptions options;
  std::string argument;  // the one a refusal names, copied before its argv goes
};

Parsed parse(std::vector<std::string> args) {
  std::vector<std::string> storage = {"kestol"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  Parsed p{CommandLineAction::run, RunOptions{}, {}};
  p.action = parse_command_line(static_cast<int>(storage.size()), argv.data(), &p.options);
  if (p.options.argument != nullptr) p.argument = p.options.argument;
  p.options.argument = nullptr;
  return p;
}

}  // namespace

TEST(ParseCommandLine, SwitchesAndPositionalArguments) {
  struct Case {
    std::vector<std::string> args;
    std::int32_t upd_days;
    std::int32_t kill_days;
    const char* update_file;
    bool route_check;
  } cases[] = {
      {{}, 40, 90, "", true},
      {{"30"}, 30, 90, "", true},
      {{"30", "/NOC"}, 30, 90, "", false},
      {{"/noc"}, 40, 90, "", false},
      {{"/nocheck"}, 40, 90, "", false},
      {{"30", "60", "wpupd"}, 30, 60, "WPUPD", true},
      {{"30", "60", "wpupd", "/NOC"}, 30, 60, "wpupd", false},
      {{"30", "60", "wpupd", "extra"}, 30, 60, "wpupd", true},
      {{"0", "0"}, 0, 0, "", true},
      {{"-5", "+7"}, -5, 7, "", true},  // signed day counts stay allowed
      {{"--keep=0", "--max-drop=50", "30"}, 30, 90, "", true},
  };
  for (const Case& c : cases) {
    Parsed p = parse(c.args);
    std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(CommandLineAction::run, p.action) << label;
    EXPECT_EQ(c.upd_days, p.options.upd_days) << label;
    EXPECT_EQ(c.kill_days, p.options.kill_days) << label;
    EXPECT_STREQ(c.update_file, p.options.update_file) << label;
    EXPECT_EQ(c.route_check, p.options.route_check) << label;
  }
}

// Options come first; anything else that looks like one is refused, and
// so is a day count that is not a number, naming the argument as given.
TEST(ParseCommandLine, OptionsAndRefusals) {
  using A = CommandLineAction;
  struct Case {
    std::vector<std::string> args;
    A action;
    const char* argument;  // named by the refusal
  } cases[] = {
      {{"/h"}, A::usage, nullptr},
      {{"/H"}, A::usage, nullptr},
      {{"/h", "/NOC"}, A::usage, nullptr},
      {{"-h"}, A::help, nullptr},
      {{"--help"}, A::help, nullptr},
      {{"--HeLp", "3"}, A::help, nullptr},
      {{"--keep=2", "-h"}, A::help, nullptr},
      {{"--version"}, A::version, nullptr},
      {{"--recover"}, A::run, nullptr},
      {{"-q"}, A::run, nullptr},
      {{"--Quiet"}, A::run, nullptr},
      {{"--dry-run"}, A::unknown_option, "--dry-run"},
      {{"-n"}, A::unknown_option, "-n"},
      {{"--verison"}, A::unknown_option, "--verison"},
      {{"-help"}, A::unknown_option, "-help"},
      {{"--keep=10"}, A::invalid_option, "--keep=10"},
      {{"--max-drop=101"}, A::invalid_option, "--max-drop=101"},
      {{"--restore="}, A::invalid_option, "--restore="},
      {{"--keep=x"}, A::invalid_option, "--keep=x"},
      {{"40", "ninety"}, A::invalid_day_count, "ninety"},
      {{"/NOC", "40", "90"}, A::invalid_day_count, "/NOC"},
      {{"9x"}, A::invalid_day_count, "9x"},
      {{"/HELP"}, A::invalid_day_count, "/HELP"},
      {{"/NOC", "30"}, A::invalid_day_count, "/NOC"},
      {{"30", "/h"}, A::invalid_day_count, "/h"},
      {{" 7"}, A::invalid_day_count, " 7"},
      {{"40", "-"}, A::invalid_day_count, "-"},
      {{"40", "90", "--file"}, A::run, nullptr},  // an update file may be named so
  };
  for (const Case& c : cases) {
    Parsed p = parse(c.args);
    std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(c.action, p.action) << label;
    if (c.argument != nullptr) {
      EXPECT_EQ(c.argument, p.argument) << label;
    }
  }
  Parsed p = parse({"--keep=0", "--MAX-DROP=50", "--restore=9", "--recover", "-q"});
  EXPECT_EQ(0, p.options.keep);
  EXPECT_EQ(50, p.options.max_drop);
  EXPECT_EQ(9, p.options.restore);
  EXPECT_TRUE(p.options.recover);
  EXPECT_TRUE(p.options.quiet);
  EXPECT_EQ(3, parse({}).options.keep);
  EXPECT_EQ(-1, parse({}).options.max_drop);
}

TEST(ParseCommandLine, UpdateFileNameLimit) {
  EXPECT_EQ(CommandLineAction::run, parse({"1", "2", std::string(255, 'a')}).action);
  EXPECT_STREQ(std::string(255, 'A').c_str(), parse({"1", "2", std::string(255, 'a')}).options.update_file);
  EXPECT_EQ(CommandLineAction::name_long, parse({"1", "2", std::string(256, 'a')}).action);
  EXPECT_EQ(CommandLineAction::name_long, parse({"1", "2", std::string(256, 'a'), "/NOC"}).action);
}
