// The reader that judges the encoder's Prometheus file: it must take the
// format's own examples and refuse what a scraper refuses, or its approval of
// the encoder's file would mean nothing.
#include <gtest/gtest.h>

#include <cmath>

#include "exposition_parser.h"

namespace nerko::test {
namespace {

TEST(StatisticsPrometheusParserTest, ReadsFamiliesHelpTypesLabelsAndValues) {
  auto families = parse_exposition(
      "# HELP http_requests_total The total number of HTTP requests.\n"
      "# TYPE http_requests_total counter\n"
      "http_requests_total{method=\"post\",code=\"200\"} 1027 1395066363000\n"
      "http_requests_total{method=\"post\",code=\"400\",}    3 1395066363000\n"
      "\n"
      "# A comment\n"
      "msdos_file_access_time_seconds{path=\"C:\\\\DIR\\\\FILE.TXT\",error=\"Cannot find file:\\n\\\"FILE.TXT\\\"\"} 1.458255915e9\n"
      "# HELP escaped Back\\\\slash and\\nnew line.\n"
      "# TYPE escaped gauge\n"
      "escaped -Inf\n"
      "# TYPE rpc_duration_seconds summary\n"
      "rpc_duration_seconds{quantile=\"0.5\"} 4773\n"
      "rpc_duration_seconds_sum 1.7560473e+07\n"
      "rpc_duration_seconds_count 2693\n");
  ASSERT_EQ(families.size(), 4u);
  EXPECT_EQ(families[0].name, "http_requests_total");
  EXPECT_EQ(families[0].help, "The total number of HTTP requests.");
  EXPECT_EQ(families[0].type, "counter");
  ASSERT_EQ(families[0].samples.size(), 2u);
  EXPECT_EQ(families[0].samples[1].labels, (std::map<std::string, std::string>{{"method", "post"}, {"code", "400"}}));
  EXPECT_EQ(families[0].samples[1].value, 3);
  EXPECT_EQ(families[1].type, "untyped");
  EXPECT_EQ(families[1].samples[0].labels.at("path"), "C:\\DIR\\FILE.TXT");
  EXPECT_EQ(families[1].samples[0].labels.at("error"), "Cannot find file:\n\"FILE.TXT\"");
  EXPECT_EQ(families[1].samples[0].value, 1.458255915e9);
  EXPECT_EQ(families[2].help, "Back\\slash and\nnew line.");
  EXPECT_TRUE(std::isinf(families[2].samples[0].value));
  EXPECT_EQ(families[3].name, "rpc_duration_seconds");
  EXPECT_EQ(families[3].samples.size(), 3u);
}

TEST(StatisticsPrometheusParserTest, RefusesWhatTheFormatDoesNotAllow) {
  const char *refused[] = {
      "a 1",                                       // no final line feed
      "1a 1\n",                                    // name starts with a digit
      "a{b=\"c\"}1\n",                             // no blank before the value
      "a one\n",                                   // not a number
      "a 0x10\n",                                  // hexadecimal
      "a{b=c} 1\n",                                // unquoted label value
      "a{b=\"c} 1\n",                              // unterminated label value
      "a{b=\"\\t\"} 1\n",                          // escape the format does not have
      "a{b=\"c\",b=\"d\"} 1\n",                    // label twice
      "a{__b=\"c\"} 1\n",                          // reserved label name
      "a{b:c=\"d\"} 1\n",                          // colon in a label name
      "a{b=\"c\" d=\"e\"} 1\n",                    // missing comma
      "a 1 2 3\n",                                 // text after the timestamp
      "a 1 1.5\n",                                 // timestamp not an integer
      "a 1\na 2\n",                                // the same series twice
      "a 1\n# TYPE a gauge\n",                     // TYPE after the samples
      "# TYPE a gauge\n# TYPE a gauge\na 1\n",     // TYPE twice
      "# HELP a x\n# HELP a y\na 1\n",             // HELP twice
      "# TYPE a meter\na 1\n",                     // unknown type
      "# TYPE a gauge extra\na 1\n",               // text after the type
      "# HELP a bad \\t escape\na 1\n",            // escape HELP does not have
      "a{x=\"1\"} 1\nb 1\na{x=\"2\"} 1\n",         // lines of a family apart
      "# TYPE c counter\nc -1\n",                  // negative counter
      "a{b=\"\xff\"} 1\n",                         // not UTF-8
  };
  for (const char *text : refused)
    EXPECT_THROW(parse_exposition(text), ExpositionError) << text;
}

TEST(StatisticsPrometheusParserTest, ErrorNamesTheLine) {
  try {
    parse_exposition("a 1\nb x\n");
    FAIL() << "accepted";
  } catch (const ExpositionError &error) {
    EXPECT_EQ(std::string(error.what()), "line 2: invalid value 'x': b x");
  }
}

}  // namespace
}  // namespace nerko::test
