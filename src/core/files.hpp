// What the core needs from files: open, measure, read and relate them,
// write new ones whole. Each system gives it in its own folder under
// src/sys, which alone makes the system's calls, one header a file:
// open.hpp, extents.hpp, map.hpp, copy.hpp and reread.hpp.
//
// The one rule for errors: these functions report what happened (nullptr,
// false, -1, a status) and never print, end the process, or touch anything of
// it beyond what they are given; the programs choose every message.
#pragma once

#include "core/copy.hpp"
#include "core/extents.hpp"
#include "core/map.hpp"
#include "core/open.hpp"
#include "core/reread.hpp"
