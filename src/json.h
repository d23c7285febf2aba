// A small strict JSON reader and writer.
//
// Writing appends compact JSON to a std::string. Reading is a pull parser: the caller asks for
// the value it expects next, and a value of another kind is reported as
// "invalid type: {found}, expected {what}". Failures are Errors of kind Decode whose text is
// the message followed by " at line {line} column {column}".
//
// Error positions. Lines and columns count from 1; columns count characters (code points), and
// only a line feed starts a new line. A position points at the first character of what is
// wrong:
//   - a syntax error: the offending character itself ("trailing characters": the first
//     character after the value; a lone leading surrogate: the character after its escape,
//     where the trailing half was required; a lone trailing surrogate: the backslash of its
//     escape);
//   - input that ends early ("EOF while parsing ..."): one past the last character;
//   - a value of the wrong type or out of range, an unknown variant: the first character of
//     that value; a duplicate field: the opening quote of its key;
//   - a missing field, a wrong number of elements or entries: the opening bracket of the
//     object or array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "result.h"

namespace orx::json {

// --- writing ----------------------------------------------------------------------------------

// A JSON string: the quotation mark and the backslash escaped, \b \f \n \r \t, other control
// characters below 0x20 as \u00xx (lower-case hex); everything else, "/", DEL and non-ASCII
// included, as it is.
void write_string(std::string& out, std::string_view text);
void write_i64(std::string& out, int64_t value);

// The quoted form of a text in messages and debug texts: "..." with the quotation mark and
// the backslash escaped, \0 \t \n \r, other control characters (C0, DEL, C1) as \u{hex}
// (lower case, no leading zeros), everything else as it is.
void write_debug_string(std::string& out, std::string_view text);

// --- reading ----------------------------------------------------------------------------------

enum class Kind : uint8_t { Object, Array, String, Number, Bool, Null };

class Reader {
 public:
  // Deeper nesting of arrays and objects is "recursion limit exceeded".
  static constexpr int kMaxDepth = 128;

  explicit Reader(std::string_view text) : text_(text) {}

  // Skips white space and tells the kind of the next value by its first character.
  Result<Kind> peek();
  // Offset of the next unread character (after peek(): the first character of the value).
  size_t offset() const { return pos_; }

  // Typed values. `expected` names what the caller wanted, for the invalid-type message.
  Result<std::string> read_string(std::string_view expected);
  Result<int64_t> read_i64();
  // A unit variant of an enumeration: a string holding one of `names`, or an object with
  // exactly one such name as key and null as value. Returns the index into `names`.
  Result<size_t> read_variant(std::span<const std::string_view> names, std::string_view expected);

  // Objects: begin_object, then next_key until it returns false (having read the closing
  // brace). next_key reads the key and its colon; the caller then reads or skips the value.
  Status begin_object(std::string_view expected);
  Result<bool> next_key(std::string& key);
  // Offset of the opening quote of the key that next_key last read.
  size_t key_offset() const { return key_pos_; }

  // Arrays: begin_array, then next_element until it returns false (having read the closing
  // bracket); after each true the caller reads or skips one value.
  Status begin_array(std::string_view expected);
  Result<bool> next_element();

  // Reads any value, checking its syntax, and drops it.
  Status skip_value();
  // Only white space may follow the value.
  Status finish();

  // "{message} at line {line} column {column}" for the position at `offset`.
  Error error_at(size_t offset, std::string_view message) const;
  // "invalid type: {found}, expected {expected}" for the value at the current position, which
  // is read to describe it; a syntax error inside it is reported instead.
  Error invalid_type(std::string_view expected);

 private:
  struct Number {
    std::string_view literal;
    bool integer;
  };

  bool at_end() const { return pos_ >= text_.size(); }
  char cur() const { return text_[pos_]; }
  void skip_space();
  Error eof(std::string_view what) const;
  Error syntax(std::string_view message) const { return error_at(pos_, message); }

  Status open();  // at '[' or '{'
  Result<std::string> string_body();
  Status escape(std::string& out);
  Result<uint32_t> hex4();
  Result<Number> number();
  Status literal(std::string_view word);
  Status skip_depth();

  std::string_view text_;
  size_t pos_ = 0;
  size_t key_pos_ = 0;
  int depth_ = 0;
  // Per open container: no entry has been read yet.
  bool first_[kMaxDepth + 1] = {};
};

}  // namespace orx::json
