// Where each program starts: its main is run_program, called by main, or on
// Windows by wmain, whose arguments come as typed (UTF-16) and go on as
// UTF-8, the form in which the programs keep every path.
#pragma once

int run_program(int argc, char **argv);
