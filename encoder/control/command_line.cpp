#include "encoder/control/command_line.h"

#include <glib.h>

#include <utility>

#include "encoder/control/whitespace.h"

namespace nerko {

Result<std::vector<std::string>> collect_arguments(int argc, const char *const *argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    if (!g_utf8_validate(argv[i], -1, nullptr))
      return EncoderError::library("Argument " + std::to_string(i) + " is not valid Unicode");
    arguments.emplace_back(argv[i]);
  }
  return arguments;
}

Result<CommandLine> read_command_line(std::vector<std::string> arguments) {
  if (arguments.size() < 5)
    return EncoderError::usage(arguments.empty() ? default_program_name : arguments[0]);
  CommandLine line;
  line.input = remove_whitespace(arguments[2]);
  line.output = remove_whitespace(arguments[3]);
  line.stats_path = std::move(arguments[4]);
  return line;
}

}  // namespace nerko
