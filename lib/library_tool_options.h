// The command line shared by the tools that read the library directory and
// take exactly one operand: "[-h] [-L dir] OPERAND".
#pragma once

#include "library_dir.h"

struct LibraryToolOptions {
    LibraryDir library;
    const char* operand;
};

// The library directory from -L and the operand. On -h, an unknown option
// or any other number of operands, prints the usage naming operand_name and
// exits with status 1. Parsing stops at the operand, so an option written
// after it is taken as a second operand.
LibraryToolOptions parse_library_tool_options(int argc, char* argv[], const char* fallback_program,
                                              const char* operand_name);
