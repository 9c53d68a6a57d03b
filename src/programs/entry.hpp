// Where each program starts: its main is run_program, called by main, or on
// Windows by wmain, whose arguments come as typed (UTF-16) and go on as
// UTF-8, the form in which the programs keep every path. What a program
// does with the process's signals is here too, the one place that knows the
// system: a library call changes none.
#pragma once

#include "torvex.h"

int run_program(int argc, char **argv);

// From now on the signals that end a process (SIGINT, SIGTERM, SIGHUP; on
// Windows, Ctrl+C, Ctrl+Break and closing the console) cancel job's run, so
// that it leaves nothing behind; nullptr: they cancel nothing more. A signal
// ignored by whoever started the program stays ignored.
void stop_job_on_ending_signals(torvex_job *job);
// Where such a signal came, ends the process by it, as it would have ended.
void end_by_caught_signal();
