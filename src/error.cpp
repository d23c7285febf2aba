#include "error.h"

#include <cerrno>
#include <cstring>

#include "utils.h"

namespace orx {

namespace {

IoKind kind_of_errno(int code) {
  switch (code) {
    case ENOENT:
      return IoKind::NotFound;
    case EACCES:
    case EPERM:
      return IoKind::PermissionDenied;
    case ECONNREFUSED:
      return IoKind::ConnectionRefused;
    case ECONNRESET:
      return IoKind::ConnectionReset;
    case ECONNABORTED:
      return IoKind::ConnectionAborted;
    case EPIPE:
      return IoKind::BrokenPipe;
    case EEXIST:
      return IoKind::AlreadyExists;
    case EAGAIN:
      return IoKind::WouldBlock;
    case ETIMEDOUT:
      return IoKind::TimedOut;
    case EINTR:
      return IoKind::Interrupted;
    default:
      return IoKind::Other;
  }
}

constexpr std::string_view kPrefixes[] = {
    "IO error: ",     "Encoding error: ", "Decoding error: ",       "Conversion error: ",
    "Custom error: ", "Parse Error : ",   "Invalid Record Type : ", "Date error: ",
};

constexpr std::string_view kKindNames[] = {
    "Io",        "Encode", "Decode", "Conversion", "CustomError", "ParseError", "InvalidRecordType",
    "DateError",
};

}  // namespace

IoError IoError::from_errno(int code) {
  char buf[256];
  // GNU strerror_r returns the message, which may or may not live in buf.
  const char* msg = strerror_r(code, buf, sizeof buf);
  return {kind_of_errno(code), std::string(msg) + " (os error " + std::to_string(code) + ")", code};
}

std::string_view reason_text(ParseReason reason) {
  switch (reason) {
    case ParseReason::OutOfRange:
      return "input is out of range";
    case ParseReason::Impossible:
      return "no possible date and time matching input";
    case ParseReason::NotEnough:
      return "input is not enough for unique date and time";
    case ParseReason::Invalid:
      return "input contains invalid characters";
    case ParseReason::TooShort:
      return "premature end of input";
    case ParseReason::TooLong:
      return "trailing input";
    case ParseReason::BadFormat:
      return "bad or unsupported format string";
  }
  return "bad or unsupported format string";
}

std::string_view Error::payload() const {
  switch (kind_) {
    case ErrorKind::ParseError:
      return reason_text(reason_);
    case ErrorKind::InvalidRecordType:
      return fixed_;
    default:
      return text_;
  }
}

std::string Error::display() const {
  std::string out(kPrefixes[static_cast<int>(kind_)]);
  out += payload();
  return out;
}

std::string Error::detail() const {
  std::string text = display();
  std::string_view rest(text);
  rest.remove_prefix(rest.find(':') + 1);  // every prefix holds a colon
  return std::string(trim_unicode_space(rest));
}

std::string Error::debug() const {
  std::string out(kKindNames[static_cast<int>(kind_)]);
  out += "(\"";
  out += payload();
  out += "\")";
  return out;
}

}  // namespace orx
