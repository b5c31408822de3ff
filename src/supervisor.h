// The road of a run, shared by vantrell and vantrell-batch: the supervisor, the program's first process,
// takes the pairs and writes the files and the lines; reader processes (reader.h) open the sources.
#pragma once

#include <string>

// vantrell: one pair, whose reader may take standard input as its source (pipe:0). program names the run
// in what goes to standard error.
void run_one_pair(const char *program, const std::string &uri, const std::string &filename);

// vantrell-batch: pairs from standard input, uri NUL filename NUL, several read at once, as many as pay;
// each pair's lines together and in input order.
void run_pairs_from_standard_input(const char *program);
