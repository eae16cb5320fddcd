// The one error value of the encoder: a kind and the text the operator reads.
#pragma once

#include <gst/gst.h>

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace nerko {

// FatalStop: a condition the encoder cannot go on from (a malformed setting or
// destination, a file it cannot write). It travels like any other error, but
// the run sequence ends the process on it (status 2) instead of reporting it.
enum class ErrorKind { MissingElement, NoSuchPad, LinkRefused, UsageError, Library, FatalStop };

class EncoderError {
 public:
  static EncoderError missing_element(const std::string &factory);
  static EncoderError no_such_pad(const std::string &pad, const std::string &element);
  static EncoderError link_refused(GstPadLinkReturn result);
  static EncoderError usage(const std::string &program);
  static EncoderError library(std::string message);
  static EncoderError fatal(std::string text);

  ErrorKind kind() const { return kind_; }
  const std::string &message() const { return message_; }
  bool is_fatal() const { return kind_ == ErrorKind::FatalStop; }

 private:
  EncoderError(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  ErrorKind kind_;
  std::string message_;
};

// The text GStreamer's pad-link result stands for.
const char *link_refused_text(GstPadLinkReturn result);

// Success or an EncoderError; `Status` for operations that return nothing.
using Status = std::optional<EncoderError>;

template <typename T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(EncoderError error) : v_(std::move(error)) {}
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T &value() { return std::get<0>(v_); }
  T take() { return std::move(std::get<0>(v_)); }
  const EncoderError &error() const { return std::get<1>(v_); }

 private:
  std::variant<T, EncoderError> v_;
};

}  // namespace nerko
