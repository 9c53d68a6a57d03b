// What a run reports as it goes, and whether it must stop. A run belongs to
// its thread: the library sets one up for each call, and the core, deep in a
// loop, asks it once per block whether to go on, without a handle to pass
// through every layer.
#pragma once

#include <atomic>
#include <cstdint>

struct run_watch {
    // Told the bytes done and the total; true where the run must stop.
    bool (*report)(void *user, std::uint64_t done, std::uint64_t total) = nullptr;
    void *user = nullptr;
    const std::atomic<int> *cancel = nullptr; // set from any thread or a signal handler
    std::uint64_t total = 0;
    std::uint64_t base = 0;  // done by the passes before this one
    std::uint64_t shown = 0; // the most reported so far: it never goes back
    bool stopped = false;
};

// Watches the calling thread's runs until end_watch; nullptr watches none.
void begin_watch(run_watch *watch);
void end_watch();

// Notes that the current pass over the data has done bytes of it; false
// where the run must stop (then it stays stopped).
bool keep_going(std::int64_t done);
// The next pass over the data starts: its bytes count after size more.
void start_pass(std::int64_t size);
// True where the run was told to stop, without reporting anything.
bool is_stopped();
// Reports the whole done, once the run has done it.
void finish_progress();
