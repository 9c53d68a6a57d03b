// The browser's side of files, given by files.js: an input is a File read in
// slices, never whole; an output is a sink that gathers what is written, and
// the inputs' bytes that it copies, into Blobs that hold their own bytes.
// Offsets cross as doubles, exact up to 2^53.
#pragma once

#include <cstdint>
#include <cstdio>

extern "C" {
// The input the page gave under name, or -1.
int torvex_find_input(const char *name);
double torvex_input_size(int input);
// Reads length bytes at offset into buffer; false where the browser cannot.
bool torvex_read_input(int input, double offset, void *buffer, std::size_t length);
int torvex_open_sink();
// False where the browser cannot keep the bytes (nor any more of the sink's).
bool torvex_write_sink(int sink, const void *bytes, std::size_t length);
// Appends a copy of the input's bytes in [start, end): 0 where done, 1 where
// the input cannot be read, 2 where the browser cannot keep the bytes.
int torvex_copy_input(int sink, int input, double start, double end);
// The sink, done, is the output named name; false where the browser cannot
// keep it, and there is none.
bool torvex_keep_sink(int sink, const char *name);
void torvex_drop_sink(int sink);
}

// What a stream of this system stands for: an input, or an output's sink.
struct web_file {
    int input = -1;
    int sink = -1;
    std::int64_t position = 0; // where the next read or write falls
    std::int64_t size = 0;     // an input's size, or what a sink holds
    char name[256] = {};       // where a sink is kept when it is closed ("": dropped)
};
// A stream over an input or a new sink; nullptr where none can be had.
FILE *open_web_stream(int input, const char *sink_name);
// The file a stream of this system stands for, or nullptr.
web_file *get_web_file(FILE *stream);
