#include "encoder/control/encoder_error.h"

namespace nerko {

EncoderError EncoderError::missing_element(const std::string &factory) {
  return {ErrorKind::MissingElement, "Missing element " + factory};
}

EncoderError EncoderError::no_such_pad(const std::string &pad, const std::string &element) {
  return {ErrorKind::NoSuchPad, "No such pad " + pad + " in " + element};
}

EncoderError EncoderError::link_refused(GstPadLinkReturn result) {
  return {ErrorKind::LinkRefused, link_refused_text(result)};
}

EncoderError EncoderError::usage(const std::string & /*program*/) {
  // The program path is carried by the kind only; the text never shows it.
  return {ErrorKind::UsageError,
          "Nerko Multicast Encoder 3.2.3\nUsage: nerko-encoder -i INPUT OUTPUT STATS.txt"};
}

EncoderError EncoderError::library(std::string message) {
  return {ErrorKind::Library, std::move(message)};
}

EncoderError EncoderError::fatal(std::string text) {
  return {ErrorKind::FatalStop, std::move(text)};
}

const char *link_refused_text(GstPadLinkReturn result) {
  switch (result) {
    case GST_PAD_LINK_WRONG_HIERARCHY:
      return "Pads have no common grandparent";
    case GST_PAD_LINK_WAS_LINKED:
      return "Pad was already linked";
    case GST_PAD_LINK_WRONG_DIRECTION:
      return "Pads have wrong direction";
    case GST_PAD_LINK_NOFORMAT:
      return "Pads do not have common format";
    case GST_PAD_LINK_NOSCHED:
      return "Pads cannot cooperate in scheduling";
    default:
      return "Refused for some other reason";
  }
}

}  // namespace nerko
