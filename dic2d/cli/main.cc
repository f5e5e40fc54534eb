#include <iostream>

#include "dic2d/cli/cli_run.h"

int main(int argc, char** argv) { return dic2d::run_cli(argc, argv, std::cout); }
