// natchat's whole life on the main thread: command line, start-up, peer entry, hole punching,
// chat and shutdown.
#pragma once

#include <cstdio>

void print_usage(const char* program);

// Returns the exit code: 0 after "--help", "quit" or the end of input; 1 on any failure.
int natchat_main(int argc, char** argv, std::FILE* in);
