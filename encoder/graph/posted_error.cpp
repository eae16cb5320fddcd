#include "encoder/graph/posted_error.h"

namespace nerko {

void post_library_failure(GstElement *element, const char *text, const std::string &debug, int line) {
  // gst_element_message_full takes ownership of both texts.
  gst_element_message_full(element, GST_MESSAGE_ERROR, GST_LIBRARY_ERROR, GST_LIBRARY_ERROR_FAILED,
                           g_strdup(text), g_strdup(debug.c_str()), "examples/src/bin/zolvane",
                           "zolvane", line);
}

}  // namespace nerko
