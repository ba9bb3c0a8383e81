// Fault tests over the system-call table: a table that passes every call
// to the kernel but those a script names, by kind and by the file they act
// on, which fail with an errno, come back short, end the process there as
// a kill or a power cut would, raise a signal first, or run a hook first;
// and the run of the tool in a child process under such a script, so that
// a test fails call N of any file in milliseconds, also under emulation.
//
// A power cut loses what was not synced: the table follows every file and
// folder below the site's root, and at the cut puts back, for each folder,
// the names it held when it was last synced, each with the bytes its file
// held when it was last synced, in one of three ways (PowerCut).
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

enum class Call {
  any,  // a fault on any call: nth counts every call the run makes
  openat,
  close,
  read,
  pread,
  write,
  pwrite,
  fsync,
  ftruncate,
  copy_file_range,
  lseek,
  fstat,
  fstatat,
  readlinkat,
  fgetxattr,
  renameat2,
  unlinkat,
  fchmod,
  fchown,
  flock,
  record_lock,
  set_status_flags,
  duplicate,
};

enum class Action {
  fail,     // answer -1 with errno value, without making the call (close: after making it)
  shorten,  // read or write at most half of what was asked (at least one byte)
  kill,     // end the process before the call, as SIGKILL would
  power,    // end it as a power cut would before the call (value: a PowerCut)
  signal,   // raise signal value, then make the call
  hook,     // run the hook, then make the call
};

// What a power cut does to the bytes written to a file since it was last
// synced.
enum PowerCut {
  lost,   // they are gone: the file is as it was synced
  zeros,  // gone, but its size stayed: what grew reads back as zeros
  torn,   // the first 4 KiB pages of them stayed, the rest as with zeros
};

struct Fault {
  Call call;
  std::string file;  // the last part of the path the call acts on ("wp.sys"); empty: any file
  int nth;           // the first such call it acts on, counted from 1
  Action action;
  int value = 0;         // errno, or signal
  bool onwards = false;  // on every such call from the nth on, not only the nth
  void (*hook)(void* target) = nullptr;
  void* target = nullptr;
};

// One system call a scripted run made: its kind and the last part of the
// path it acted on, and for a kill, the index of the call it was stopped at.
struct MadeCall {
  Call call;
  std::string file;
};

struct Script {
  std::vector<Fault> faults;
  std::time_t now = kFrozenNow;          // what the clock reads
  std::vector<MadeCall>* log = nullptr;  // when given, every call is noted (in the child: see run_scripted)
};

// Runs kestol (argv[0] is "kestol") with args in site under script, in a
// child process, with TZ as given; answers as Site::run does. When the
// script logs calls, the child's log comes back in *script.log.
RunResult run_scripted(const Site& site, const std::vector<std::string>& args, const Script& script,
                       const char* tz = "UTC0");

// Within a scripted run: the file at path was written and synced by
// another process, so that what it holds now is what a power cut leaves.
void note_synced_elsewhere(const std::string& path);

// The kind of call, as a text for messages.
const char* call_name(Call call);
