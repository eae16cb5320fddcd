// How a UDP sender is set up for a multicast destination.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include "encoder/graph/udp_sender.h"

namespace nerko {
namespace {

TEST(NetworkUdpSender, DoesNotJoinTheGroupItSendsTo) {
  gst_init(nullptr, nullptr);
  GstElement *sender = GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("udpsink", nullptr)));
  ASSERT_NE(sender, nullptr);
  EXPECT_EQ(configure_udp_sender(sender, "239.1.2.3", 5000), std::nullopt);
  gboolean joins = TRUE;
  gint ttl = 0;
  gchar *clients = nullptr;
  g_object_get(sender, "auto-multicast", &joins, "ttl-mc", &ttl, "clients", &clients, nullptr);
  EXPECT_FALSE(joins);
  EXPECT_EQ(ttl, 64);
  EXPECT_STREQ(clients, "239.1.2.3:5000");
  g_free(clients);
  gst_object_unref(sender);
}

}  // namespace
}  // namespace nerko
