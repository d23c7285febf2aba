// The one error type of the core: eight kinds, each with a fixed display prefix.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orx {

// Category of an I/O failure; the Python layer maps it to an OSError subclass.
enum class IoKind : uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  TimedOut,
  Interrupted,
  InvalidData,
  UnexpectedEof,
  Other,
};

struct IoError {
  IoKind kind = IoKind::Other;
  std::string description;
  // The operating system's error number (errno) for failures that came from it, else 0.
  int os_code = 0;

  // The input ended before a fixed-size read was complete.
  static IoError unexpected_eof() { return {IoKind::UnexpectedEof, "failed to fill whole buffer"}; }
  static IoError invalid_data(std::string text) { return {IoKind::InvalidData, std::move(text)}; }
  // An operating-system failure: its message followed by " (os error {code})".
  static IoError from_errno(int code);
};

// Why a date text did not parse.
enum class ParseReason : uint8_t {
  OutOfRange,
  Impossible,
  NotEnough,
  Invalid,
  TooShort,
  TooLong,
  BadFormat,
};
std::string_view reason_text(ParseReason reason);

enum class ErrorKind : uint8_t {
  Io,
  Encode,
  Decode,
  Conversion,
  CustomError,
  ParseError,
  InvalidRecordType,
  DateError,
};

class Error {
 public:
  Error(IoError io)
      : kind_(ErrorKind::Io),
        io_kind_(io.kind),
        os_code_(io.os_code),
        text_(std::move(io.description)) {}
  Error(ParseReason reason) : kind_(ErrorKind::ParseError), reason_(reason) {}

  static Error encode(std::string text) { return {ErrorKind::Encode, std::move(text)}; }
  static Error decode(std::string text) { return {ErrorKind::Decode, std::move(text)}; }
  static Error conversion(std::string text) { return {ErrorKind::Conversion, std::move(text)}; }
  static Error custom(std::string text) { return {ErrorKind::CustomError, std::move(text)}; }
  static Error date(std::string text) { return {ErrorKind::DateError, std::move(text)}; }
  // The text is a fixed string of the program, such as a record kind's variant name.
  static Error invalid_record_type(const char* fixed_text) {
    Error e{ErrorKind::InvalidRecordType, {}};
    e.fixed_ = fixed_text;
    return e;
  }

  ErrorKind kind() const { return kind_; }
  IoKind io_kind() const { return io_kind_; }
  // The errno of an Io error that came from the operating system, else 0.
  int os_code() const { return os_code_; }
  ParseReason parse_reason() const { return reason_; }
  // The payload's own text: the I/O description, the owned text, the reason text.
  std::string_view payload() const;
  IoError io() const { return {io_kind_, std::string(payload()), os_code_}; }

  // "IO error: ...", "Parse Error : ..." and so on.
  std::string display() const;
  // The display text after its first colon, Unicode white space trimmed at both ends.
  std::string detail() const;
  // Kind name and payload, for texts of internal failures: CustomError("...").
  std::string debug() const;

 private:
  Error(ErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  ErrorKind kind_;
  IoKind io_kind_ = IoKind::Other;
  int os_code_ = 0;
  ParseReason reason_ = ParseReason::Invalid;
  std::string text_;
  const char* fixed_ = "";
};

}  // namespace orx
