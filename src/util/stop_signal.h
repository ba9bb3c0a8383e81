// Stop signals: SIGTERM, SIGINT and SIGHUP only set a flag, which the run
// checks at points where it can stop cleanly (once per record, once per
// chunk of the backup copy), undoes what it must, and then ends by the
// same signal so that its caller sees how it ended. A stop signal that the
// caller had ignored stays ignored. SIGXFSZ is ignored, so a file-size
// limit shows as a failed write, and so is SIGPIPE: a closed standard
// output or error (a log pipe that died) never stops a rewrite half-way.
#pragma once

// Installs the handlers; call before any file is opened.
void install_stop_handlers();
// The stop signal that has arrived, or 0.
int stop_signal();
// Ends the process by signal, with its default action restored.
[[noreturn]] void end_by_signal(int signal_number);
