// Where the bytes of an open file are stored, on POSIX systems: used by the
// POSIX file helpers to keep every output away from the inputs.
#pragma once

#include "core/open.hpp"

// How writing through descriptor output relates to the bytes of descriptor
// input (see relate_data). made_by_run: output is a file this run made (or a
// folder it will make one in), which no file system can be kept in yet.
data_relation relate_descriptors(int output, int input, bool made_by_run);
