#include "exposition_parser.h"

#include <glib.h>

#include <cmath>
#include <cstdlib>
#include <set>

namespace nerko::test {
namespace {

bool is_name_start(char c, bool colon_allowed) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon_allowed && c == ':');
}
bool is_name_char(char c, bool colon_allowed) { return is_name_start(c, colon_allowed) || (c >= '0' && c <= '9'); }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Reads one line left to right; every failure names the line.
class LineReader {
 public:
  LineReader(std::string_view line, int number) : line_(line), number_(number) {}

  [[noreturn]] void fail(const std::string &why) const {
    throw ExpositionError("line " + std::to_string(number_) + ": " + why + ": " + std::string(line_));
  }
  bool at_end() const { return pos_ == line_.size(); }
  char peek() const { return at_end() ? '\0' : line_[pos_]; }
  bool take(char c) {
    if (peek() != c)
      return false;
    ++pos_;
    return true;
  }
  void expect(char c) {
    if (!take(c))
      fail(std::string("expected '") + c + "'");
  }
  size_t skip_blanks() {
    size_t start = pos_;
    while (!at_end() && is_blank(peek()))
      ++pos_;
    return pos_ - start;
  }
  std::string name(bool colon_allowed) {
    size_t start = pos_;
    if (!is_name_start(peek(), colon_allowed))
      fail("expected a name");
    while (!at_end() && is_name_char(peek(), colon_allowed))
      ++pos_;
    return std::string(line_.substr(start, pos_ - start));
  }
  std::string token() {
    size_t start = pos_;
    while (!at_end() && !is_blank(peek()))
      ++pos_;
    return std::string(line_.substr(start, pos_ - start));
  }
  std::string rest() {
    std::string r(line_.substr(pos_));
    pos_ = line_.size();
    return r;
  }
  // A quoted label value: only \\, \" and \n are escapes.
  std::string quoted() {
    expect('"');
    std::string value;
    for (;;) {
      if (at_end())
        fail("unterminated label value");
      char c = line_[pos_++];
      if (c == '"')
        return value;
      if (c != '\\') {
        value += c;
        continue;
      }
      char e = at_end() ? '\0' : line_[pos_++];
      if (e == '\\' || e == '"')
        value += e;
      else if (e == 'n')
        value += '\n';
      else
        fail("invalid escape in label value");
    }
  }

 private:
  std::string_view line_;
  int number_;
  size_t pos_ = 0;
};

// HELP text: only \\ and \n are escapes.
std::string unescape_help(LineReader &reader, const std::string &raw) {
  std::string help;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      help += raw[i];
      continue;
    }
    char e = i + 1 < raw.size() ? raw[++i] : '\0';
    if (e == '\\')
      help += '\\';
    else if (e == 'n')
      help += '\n';
    else
      reader.fail("invalid escape in HELP");
  }
  return help;
}

// A float as Go's ParseFloat takes it, which is what Prometheus uses.
double parse_value(LineReader &reader, const std::string &text) {
  if (text == "NaN")
    return NAN;
  if (text == "+Inf" || text == "Inf")
    return INFINITY;
  if (text == "-Inf")
    return -INFINITY;
  if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos)
    reader.fail("invalid value '" + text + "'");
  char *end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size())
    reader.fail("invalid value '" + text + "'");
  return value;
}

// The family a sample belongs to, by its TYPE: summaries and histograms own
// their suffixed series as well.
std::string family_of(const std::string &sample_name, const std::map<std::string, std::string> &types) {
  for (const char *suffix : {"_bucket", "_sum", "_count"}) {
    std::string s(suffix);
    if (sample_name.size() > s.size() && sample_name.compare(sample_name.size() - s.size(), s.size(), s) == 0) {
      std::string base = sample_name.substr(0, sample_name.size() - s.size());
      auto type = types.find(base);
      if (type != types.end() && (type->second == "histogram" || type->second == "summary") &&
          (s != "_bucket" || type->second == "histogram"))
        return base;
    }
  }
  return sample_name;
}

}  // namespace

std::vector<ExpositionFamily> parse_exposition(std::string_view text) {
  if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
    throw ExpositionError("not UTF-8");
  if (!text.empty() && text.back() != '\n')
    throw ExpositionError("the last line has no line feed");

  std::vector<ExpositionFamily> families;
  std::map<std::string, size_t> index;           // family name -> position
  std::map<std::string, std::string> types;      // from TYPE lines
  std::set<std::string> helped, sampled, closed;  // closed: another family came after it
  std::set<std::pair<std::string, std::map<std::string, std::string>>> series;

  // The family `name`, made current: earlier ones are closed for good.
  auto enter = [&](LineReader &reader, const std::string &name) -> ExpositionFamily & {
    if (closed.count(name))
      reader.fail("lines of " + name + " are not together");
    if (!families.empty() && families.back().name != name)
      closed.insert(families.back().name);
    if (!index.count(name)) {
      index[name] = families.size();
      families.push_back(ExpositionFamily{name, "", "untyped", {}});
    }
    return families[index[name]];
  };

  int number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    LineReader reader(line, number);
    reader.skip_blanks();
    if (reader.at_end())
      continue;  // empty lines are allowed
    if (reader.take('#')) {
      if (reader.skip_blanks() == 0)
        continue;  // "#word": a comment
      std::string keyword = reader.token();
      if (keyword != "HELP" && keyword != "TYPE")
        continue;  // any other comment
      if (reader.skip_blanks() == 0)
        reader.fail("expected a metric name");
      std::string name = reader.name(true);
      if (keyword == "HELP") {
        if (!reader.at_end() && reader.skip_blanks() == 0)
          reader.fail("expected a blank after the name");
        if (!helped.insert(name).second)
          reader.fail("second HELP for " + name);
        ExpositionFamily &family = enter(reader, name);
        family.help = unescape_help(reader, reader.rest());
      } else {
        if (reader.skip_blanks() == 0)
          reader.fail("expected a type");
        std::string type = reader.token();
        reader.skip_blanks();
        if (!reader.at_end())
          reader.fail("text after the type");
        if (type != "counter" && type != "gauge" && type != "histogram" && type != "summary" && type != "untyped")
          reader.fail("unknown type " + type);
        if (types.count(name))
          reader.fail("second TYPE for " + name);
        if (sampled.count(name))
          reader.fail("TYPE for " + name + " after its samples");
        types[name] = type;
        enter(reader, name).type = type;
      }
      continue;
    }

    ExpositionSample sample;
    sample.name = reader.name(true);
    size_t blanks = reader.skip_blanks();
    if (reader.take('{')) {
      reader.skip_blanks();
      while (!reader.take('}')) {
        std::string label = reader.name(false);
        if (label.rfind("__", 0) == 0)
          reader.fail("reserved label name " + label);
        reader.skip_blanks();
        reader.expect('=');
        reader.skip_blanks();
        std::string value = reader.quoted();
        if (!sample.labels.emplace(label, value).second)
          reader.fail("label " + label + " twice");
        reader.skip_blanks();
        if (reader.take(','))
          reader.skip_blanks();  // a trailing comma is allowed
        else if (reader.peek() != '}')
          reader.fail("expected ',' or '}'");
      }
      blanks = reader.skip_blanks();
    }
    if (blanks == 0)
      reader.fail("expected a blank before the value");
    sample.value = parse_value(reader, reader.token());
    if (reader.skip_blanks() > 0 && !reader.at_end()) {
      std::string timestamp = reader.token();
      if (timestamp.empty() || timestamp.find_first_not_of("0123456789-") != std::string::npos ||
          timestamp.find('-', 1) != std::string::npos)
        reader.fail("invalid timestamp");
      reader.skip_blanks();
    }
    if (!reader.at_end())
      reader.fail("text after the sample");

    std::string family_name = family_of(sample.name, types);
    ExpositionFamily &family = enter(reader, family_name);
    sampled.insert(family_name);
    if (!series.emplace(sample.name, sample.labels).second)
      reader.fail("the same series twice");
    if (family.type == "counter" && !(sample.value >= 0))
      reader.fail("a counter must not be negative");
    family.samples.push_back(std::move(sample));
  }
  return families;
}

}  // namespace nerko::test
