// Where the bytes of an open file are stored, on POSIX systems: used by the
// POSIX file helpers to keep every output away from the inputs.
#pragma once

#include "core/files.hpp"

// How writing through descriptor a relates to the bytes of descriptor b (see
// relate_data).
data_relation relate_descriptors(int a, int b);
