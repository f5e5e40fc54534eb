#pragma once
// The whole dic2d_cli run behind main(): options, input files, the engine,
// the output binary and the report line.

#include <ostream>

namespace dic2d {

// Runs once with argv[0..argc-1] (argv[0] is the program path) and writes
// exactly one JSON line to `out`. Returns the exit status: 0 success, 1 any
// failure (including a report that could not be written), 10 a result whose
// ok flag is false. Every std::exception becomes the failure line.
int run_cli(int argc, const char* const* argv, std::ostream& out);

}  // namespace dic2d
