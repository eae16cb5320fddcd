// The command line "nerko-encoder -i INPUT OUTPUT STATS.txt".
#pragma once

#include <string>
#include <vector>

#include "encoder/control/encoder_error.h"

namespace nerko {

// The program name the usage error carries when the system gave no argument 0.
inline constexpr const char *default_program_name = "nerko-encoder";

// The process arguments as text. An argument that is not valid UTF-8 is a
// library failure naming its position (0 is the program path).
Result<std::vector<std::string>> collect_arguments(int argc, const char *const *argv);

struct CommandLine {
  std::string input;   // argument 2 without White_Space: the URI to decode
  std::string output;  // argument 3 without White_Space: the destination
  std::string stats_path;  // argument 4 as given: the statistics file
};

// Fewer than five arguments (program path and four) is a usage error.
// Argument 1 is never looked at; arguments after the fifth are ignored.
Result<CommandLine> read_command_line(std::vector<std::string> arguments);

}  // namespace nerko
