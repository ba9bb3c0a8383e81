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
};

Parsed parse(std::vector<std::string> args) {
  std::vector<std::string> storage = {"kestol"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  Parsed p{CommandLineAction::run, RunOptions{}};
  p.action = parse_command_line(static_cast<int>(storage.size()), argv.data(), &p.options);
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
      {{"/NOC", "30"}, 0, 30, "", true},  // only the last argument is a switch
      {{"30", "60", "wpupd"}, 30, 60, "WPUPD", true},
      {{"30", "60", "wpupd", "/NOC"}, 30, 60, "wpupd", false},
      {{"30", "60", "wpupd", "extra"}, 30, 60, "wpupd", true},
      {{"/HELP"}, 0, 90, "", true},
      {{"0", "0"}, 0, 0, "", true},
      {{"/no"}, 0, 90, "", true},
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

TEST(ParseCommandLine, HelpAndVersionComeFromTheFirstArgument) {
  struct Case {
    std::vector<std::string> args;
    CommandLineAction action;
  } cases[] = {
      {{"/h"}, CommandLineAction::usage},          {{"/H"}, CommandLineAction::usage},
      {{"-h"}, CommandLineAction::help},           {{"--help"}, CommandLineAction::help},
      {{"--HeLp", "3"}, CommandLineAction::help},  {{"/h", "/NOC"}, CommandLineAction::usage},
      {{"--version"}, CommandLineAction::version}, {{"30", "/h"}, CommandLineAction::run},
      {{"/HELP"}, CommandLineAction::run},         {{"-help"}, CommandLineAction::run},
  };
  for (const Case& c : cases) EXPECT_EQ(c.action, parse(c.args).action) << ::testing::PrintToString(c.args);
}

TEST(ParseCommandLine, UpdateFileNameLimit) {
  EXPECT_EQ(CommandLineAction::run, parse({"1", "2", std::string(255, 'a')}).action);
  EXPECT_STREQ(std::string(255, 'A').c_str(), parse({"1", "2", std::string(255, 'a')}).options.update_file);
  EXPECT_EQ(CommandLineAction::name_long, parse({"1", "2", std::string(256, 'a')}).action);
  EXPECT_EQ(CommandLineAction::name_long, parse({"1", "2", std::string(256, 'a'), "/NOC"}).action);
}
