// The OUTPUT text: scheme://host:port, and the ports that follow from it.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "encoder/graph/destination.h"
#include "encoder/graph/udp_sender.h"
#include "graph_fixture.h"

namespace nerko::test {
namespace {

std::optional<Destination> parse(const std::string &text, std::string *why = nullptr) {
  Result<Destination> d = parse_destination(text);
  if (why)
    *why = d ? "" : d.error().message();
  return d ? std::optional<Destination>(d.take()) : std::nullopt;
}

TEST(DestinationTest, SchemeHostAndPort) {
  auto d = parse("udp://239.1.2.3:5000");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->host, "239.1.2.3");
  EXPECT_EQ(d->base_port, 5000);
}

TEST(DestinationTest, SchemeIsNotLookedAtAndExtraPartsAreIgnored) {
  auto d = parse("rtp://239.1.2.3:5000:extra");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->host, "239.1.2.3");
  EXPECT_EQ(d->base_port, 5000);
  auto e = parse("anything:host:+7:8:9");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->host, "host");
  EXPECT_EQ(e->base_port, 7);
}

TEST(DestinationTest, EverySlashOfTheHostPartGoesAndAnEmptyHostIsAccepted) {
  auto d = parse("udp://ho/st//:5000");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->host, "host");
  auto empty = parse("udp://:5000");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->host, "");
  EXPECT_EQ(empty->base_port, 5000);
}

TEST(DestinationTest, PortIsADecimalWhoseFourPortsAreUdpPorts) {
  EXPECT_EQ(parse("udp://h:1")->base_port, 1);
  EXPECT_EQ(parse("udp://h:+65532")->base_port, 65532);
  std::string why;
  for (const char *bad : {"udp://239.1.2.3:50x0", "udp://h:", "udp://h: 5000", "udp://h:2147483648",
                          "udp://h:0x10", "udp://h:+", "udp://h:--1", "udp://h:5e3", "udp://h:0", "udp://h:-1",
                          "udp://h:65533", "udp://h:2147483647"}) {
    EXPECT_FALSE(parse(bad, &why)) << bad;
  }
  EXPECT_FALSE(parse("udp://239.1.2.3:50x0", &why));
  EXPECT_EQ(why, "port \"50x0\" is not a signed 32-bit decimal integer");
  EXPECT_FALSE(parse("udp://h:0", &why));
  EXPECT_EQ(why, "ports 0 to 3 are not all within 1 to 65535");
}

TEST(DestinationTest, BracketedHostIsAnIPv6Address) {
  auto d = parse("udp://[ff15::1234]:5000:extra");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->host, "ff15::1234");
  EXPECT_EQ(d->base_port, 5000);
  std::string why;
  EXPECT_FALSE(parse("udp://[::1]", &why));
  EXPECT_EQ(why, "no port part");
  EXPECT_FALSE(parse("udp://[::1:5000", &why));
  EXPECT_EQ(why, "the IPv6 host has no closing \"]\"");
  EXPECT_FALSE(parse("udp://[example.org]:5000", &why));
  EXPECT_EQ(why, "\"[example.org]\" is not an IPv6 address");
}

TEST(DestinationTest, HostIsResolvedToOneAddressOrAnErrorNamingIt) {
  EXPECT_EQ(resolve_host("127.0.0.1").value(), "127.0.0.1");
  EXPECT_EQ(resolve_host("::1").value(), "::1");
  // An empty name fails in the resolver itself, without asking the network.
  Result<std::string> none = resolve_host("");
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().message().rfind("Cannot resolve the destination host \"\": ", 0), 0u)
      << none.error().message();
}

TEST(DestinationTest, MissingPartsAreNamed) {
  std::string why;
  EXPECT_FALSE(parse("239.1.2.3:5000", &why));  // no scheme: only two parts
  EXPECT_EQ(why, "no port part");
  EXPECT_FALSE(parse("udp", &why));
  EXPECT_EQ(why, "no host part");
  EXPECT_FALSE(parse("", &why));
  EXPECT_EQ(why, "no host part");
}

TEST(DestinationTest, MalformedDestinationForTheSendersIsAFatalStop) {
  Result<Destination> d = destination_for_senders("239.1.2.3:5000");
  ASSERT_FALSE(d);
  EXPECT_TRUE(d.error().is_fatal());
  EXPECT_EQ(d.error().message(),
            "Malformed destination \"239.1.2.3:5000\" (expected scheme://host:port): no port part");
  d = destination_for_senders("udp://239.1.2.3:50x0");
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error().message(), "Malformed destination \"udp://239.1.2.3:50x0\" (expected scheme://host:port): "
                                 "port \"50x0\" is not a signed 32-bit decimal integer");
  EXPECT_TRUE(destination_for_senders("udp://239.1.2.3:5000"));
}

TEST(SessionPortTest, FollowsTheBasePortAndWrapsAt32Bits) {
  EXPECT_EQ(session_port(5000, 0), 5000);
  EXPECT_EQ(session_port(5000, 3), 5003);
  EXPECT_EQ(session_port(2147483647, 1), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(session_port(2147483646, 3), -2147483647);
  EXPECT_EQ(session_port(-1, 1), 0);
}

class UdpSenderTest : public ::testing::Test {
 protected:
  ElementRef sender{GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("udpsink", nullptr)))};
};

TEST_F(UdpSenderTest, SetsHostPortTtlAndTheOneClient) {
  ASSERT_EQ(configure_udp_sender(sender.get(), "239.1.2.3", 5001), std::nullopt);
  EXPECT_EQ(get_string_property(sender.get(), "host"), "239.1.2.3");
  EXPECT_EQ(get_property<gint>(sender.get(), "port"), 5001);
  EXPECT_EQ(get_property<gint>(sender.get(), "ttl-mc"), 64);
  EXPECT_EQ(get_string_property(sender.get(), "clients"), "239.1.2.3:5001");
}

TEST_F(UdpSenderTest, WrappedPortFailsAtThePortProperty) {
  Status status = configure_udp_sender(sender.get(), "127.0.0.1", session_port(2147483647, 1));
  ASSERT_NE(status, std::nullopt);
  EXPECT_EQ(status->kind(), ErrorKind::Library);
  EXPECT_EQ(status->message(),
            "property 'port' of type 'GstUDPSink' can't be set from given value, it is invalid or out of range");
  EXPECT_EQ(get_string_property(sender.get(), "host"), "127.0.0.1");  // set before the port
  EXPECT_EQ(get_property<gint>(sender.get(), "ttl-mc"), 1);           // never reached
}

TEST_F(UdpSenderTest, NotAUdpSinkFailsAtTheFirstProperty) {
  ElementRef fake(GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("fakesink", nullptr))));
  Status status = configure_udp_sender(fake.get(), "127.0.0.1", 5000);
  ASSERT_NE(status, std::nullopt);
  EXPECT_EQ(status->message(), "property 'host' of type 'GstFakeSink' not found");
}

}  // namespace
}  // namespace nerko::test
