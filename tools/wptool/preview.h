// wptool preview: what a kestol run would do to the database, record by
// record, through the run's own review, without changing anything.
#pragma once

// Previews a run with kestol's arguments; argv[0] is "preview", standing
// where kestol's own name stands, and "--at TIME" may come anywhere after
// it. Answers the exit status.
int run_preview(int argc, char** argv);
