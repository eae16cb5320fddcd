// A strict reader of Prometheus' text exposition format (version 0.0.4), so
// the tests judge the encoder's file the way a scraper would.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nerko::test {

struct ExpositionSample {
  std::string name;
  std::map<std::string, std::string> labels;  // unescaped values
  double value = 0;
};

struct ExpositionFamily {
  std::string name;
  std::string help;  // unescaped
  std::string type;  // "untyped" when no TYPE line was given
  std::vector<ExpositionSample> samples;
};

// Why a text is not valid exposition, with its line number.
class ExpositionError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The families in the order they appear. Throws ExpositionError for anything
// the format does not allow: bad names, bad escapes, bad numbers, a HELP or
// TYPE line repeated or (TYPE) after its samples, a family whose lines are
// not together, the same series twice, a negative counter, a missing final
// line feed, text that is not UTF-8.
std::vector<ExpositionFamily> parse_exposition(std::string_view text);

}  // namespace nerko::test
