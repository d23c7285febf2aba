#include "json.h"

#include <charconv>

#include "utils.h"

namespace orx::json {

namespace {

constexpr char kHex[] = "0123456789abcdef";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// "unknown variant `x`, expected `A`", "... expected `A` or `B`", "... expected one of `A`, `B`,
// `C`".
std::string unknown_variant(std::string_view name, std::span<const std::string_view> names) {
  std::string msg = "unknown variant `";
  msg += name;
  msg += "`, ";
  if (names.empty()) return msg + "there are no variants";
  msg += names.size() > 2 ? "expected one of " : "expected ";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) msg += names.size() == 2 ? " or " : ", ";
    msg += '`';
    msg += names[i];
    msg += '`';
  }
  return msg;
}

std::string invalid_length(size_t n, std::string_view expected) {
  return "invalid length " + std::to_string(n) + ", expected " + std::string(expected);
}

}  // namespace

// --- writing ----------------------------------------------------------------------------------

void write_string(std::string& out, std::string_view text) {
  out += '"';
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(text, run, text.size() - run);
  out += '"';
}

void write_i64(std::string& out, int64_t value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

void write_debug_string(std::string& out, std::string_view text) {
  out += '"';
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t at = pos;
    const int32_t cp = next_code_point(text, pos);
    switch (cp) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case 0:
        out += "\\0";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      default:
        break;
    }
    if (cp >= 0 && (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F))) {
      char buf[8];
      const auto r = std::to_chars(buf, buf + sizeof buf, cp, 16);
      out += "\\u{";
      out.append(buf, r.ptr);
      out += '}';
    } else {
      out.append(text, at, pos - at);  // printable, or a stray byte of malformed input
    }
  }
  out += '"';
}

// --- reading: positions and errors --------------------------------------------------------------

Error Reader::error_at(size_t offset, std::string_view message) const {
  if (offset > text_.size()) offset = text_.size();
  size_t line = 1, line_start = 0;
  for (size_t i = 0; i < offset; ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  size_t column = 1;
  for (size_t i = line_start; i < offset; ++i) {
    if ((static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80) ++column;
  }
  std::string text(message);
  text += " at line ";
  text += std::to_string(line);
  text += " column ";
  text += std::to_string(column);
  return Error::decode(std::move(text));
}

Error Reader::eof(std::string_view what) const { return error_at(text_.size(), what); }

void Reader::skip_space() {
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
    ++pos_;
  }
}

Result<Kind> Reader::peek() {
  skip_space();
  if (at_end()) return eof("EOF while parsing a value");
  switch (cur()) {
    case '{':
      return Kind::Object;
    case '[':
      return Kind::Array;
    case '"':
      return Kind::String;
    case 't':
    case 'f':
      return Kind::Bool;
    case 'n':
      return Kind::Null;
    default:
      if (cur() == '-' || is_digit(cur())) return Kind::Number;
      return syntax("expected value");
  }
}

Error Reader::invalid_type(std::string_view expected) {
  ORX_TRY(const Kind kind, peek());
  const size_t start = pos_;
  std::string found;
  switch (kind) {
    case Kind::Object:
      found = "map";
      break;
    case Kind::Array:
      found = "sequence";
      break;
    case Kind::String: {
      ORX_TRY(const std::string s, string_body());
      found = "string ";
      write_debug_string(found, s);
      break;
    }
    case Kind::Number: {
      ORX_TRY(const Number n, number());
      found = n.integer ? "integer `" : "floating point `";
      found += n.literal;
      found += '`';
      break;
    }
    case Kind::Bool: {
      const std::string_view word = cur() == 't' ? "true" : "false";
      ORX_CHECK(literal(word));
      found = "boolean `";
      found += word;
      found += '`';
      break;
    }
    case Kind::Null:
      ORX_CHECK(literal("null"));
      found = "null";
      break;
  }
  return error_at(start, "invalid type: " + found + ", expected " + std::string(expected));
}

// --- reading: scalars ---------------------------------------------------------------------------

Result<std::string> Reader::string_body() {
  ++pos_;  // the opening quote
  std::string out;
  while (true) {
    const size_t run = pos_;
    while (pos_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"' || c == '\\' || c < 0x20) break;
      if (c < 0x80) {
        ++pos_;
        continue;
      }
      size_t next = pos_;
      if (next_code_point(text_, next) < 0) break;
      pos_ = next;
    }
    out.append(text_, run, pos_ - run);
    if (at_end()) return eof("EOF while parsing a string");
    const auto c = static_cast<unsigned char>(cur());
    if (c == '"') {
      ++pos_;
      return out;
    }
    if (c == '\\') {
      ORX_CHECK(escape(out));
    } else if (c < 0x20) {
      return syntax("control character (\\u0000-\\u001F) found while parsing a string");
    } else {
      return syntax("invalid unicode code point");  // malformed UTF-8
    }
  }
}

Result<uint32_t> Reader::hex4() {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    if (at_end()) return eof("EOF while parsing a string");
    const char c = cur();
    uint32_t d;
    if (is_digit(c))
      d = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      d = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      d = static_cast<uint32_t>(c - 'A' + 10);
    else
      return syntax("invalid escape");
    v = v * 16 + d;
    ++pos_;
  }
  return v;
}

// At a backslash inside a string: appends the escaped character. A \u escape of a surrogate
// must be the leading half of a pair followed directly by the trailing half; a lone half would
// give text that is not UTF-8, so it is refused.
Status Reader::escape(std::string& out) {
  const size_t start = pos_++;
  if (at_end()) return eof("EOF while parsing a string");
  const char c = cur();
  ++pos_;
  switch (c) {
    case '"':
    case '\\':
    case '/':
      out += c;
      return {};
    case 'b':
      out += '\b';
      return {};
    case 'f':
      out += '\f';
      return {};
    case 'n':
      out += '\n';
      return {};
    case 'r':
      out += '\r';
      return {};
    case 't':
      out += '\t';
      return {};
    case 'u':
      break;
    default:
      --pos_;
      return syntax("invalid escape");
  }
  ORX_TRY(const uint32_t cp, hex4());
  if (cp >= 0xDC00 && cp <= 0xDFFF) return error_at(start, "lone trailing surrogate in hex escape");
  if (cp < 0xD800 || cp > 0xDBFF) {
    append_utf8(out, cp);
    return {};
  }
  const size_t second = pos_;
  if (at_end() || (cur() == '\\' && pos_ + 1 >= text_.size()))
    return eof("EOF while parsing a string");
  if (cur() != '\\' || text_[pos_ + 1] != 'u')
    return syntax("lone leading surrogate in hex escape");
  pos_ += 2;
  ORX_TRY(const uint32_t low, hex4());
  if (low < 0xDC00 || low > 0xDFFF) return error_at(second, "lone leading surrogate in hex escape");
  append_utf8(out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
  return {};
}

// -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?, kept as written.
Result<Reader::Number> Reader::number() {
  const size_t start = pos_;
  bool integer = true;
  auto digits = [&]() -> Status {
    if (at_end()) return eof("EOF while parsing a value");
    if (!is_digit(cur())) return syntax("invalid number");
    while (!at_end() && is_digit(cur())) ++pos_;
    return {};
  };
  if (cur() == '-') ++pos_;
  if (!at_end() && cur() == '0') {
    ++pos_;
    if (!at_end() && is_digit(cur())) return syntax("invalid number");
  } else {
    ORX_CHECK(digits());
  }
  if (!at_end() && cur() == '.') {
    integer = false;
    ++pos_;
    ORX_CHECK(digits());
  }
  if (!at_end() && (cur() == 'e' || cur() == 'E')) {
    integer = false;
    ++pos_;
    if (!at_end() && (cur() == '+' || cur() == '-')) ++pos_;
    ORX_CHECK(digits());
  }
  return Number{text_.substr(start, pos_ - start), integer};
}

Status Reader::literal(std::string_view word) {
  for (const char c : word) {
    if (at_end()) return eof("EOF while parsing a value");
    if (cur() != c) return syntax("expected ident");
    ++pos_;
  }
  return {};
}

Result<std::string> Reader::read_string(std::string_view expected) {
  ORX_TRY(const Kind kind, peek());
  if (kind != Kind::String) return invalid_type(expected);
  return string_body();
}

Result<int64_t> Reader::read_i64() {
  ORX_TRY(const Kind kind, peek());
  if (kind != Kind::Number) return invalid_type("i64");
  const size_t start = pos_;
  ORX_TRY(const Number n, number());
  if (!n.integer) {
    return error_at(start,
                    "invalid type: floating point `" + std::string(n.literal) + "`, expected i64");
  }
  const bool negative = n.literal[0] == '-';
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  for (size_t i = negative ? 1 : 0; i < n.literal.size(); ++i) {
    const auto d = static_cast<uint64_t>(n.literal[i] - '0');
    if (magnitude > (limit - d) / 10) {
      return error_at(start,
                      "invalid value: integer `" + std::string(n.literal) + "`, expected i64");
    }
    magnitude = magnitude * 10 + d;
  }
  // Two's complement: the negation of the magnitude, 2^63 included, fits.
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

Result<size_t> Reader::read_variant(std::span<const std::string_view> names,
                                    std::string_view expected) {
  ORX_TRY(const Kind kind, peek());
  const size_t start = pos_;
  auto lookup = [&](const std::string& name, size_t at) -> Result<size_t> {
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) return i;
    return error_at(at, unknown_variant(name, names));
  };
  if (kind == Kind::String) {
    ORX_TRY(const std::string name, string_body());
    return lookup(name, start);
  }
  if (kind != Kind::Object) return invalid_type(expected);
  // {"Name": null}
  ORX_CHECK(open());
  std::string name;
  ORX_TRY(const bool any, next_key(name));
  if (!any) return error_at(start, invalid_length(0, "map with a single key"));
  ORX_TRY(const size_t index, lookup(name, key_pos_));
  ORX_TRY(const Kind value, peek());
  if (value != Kind::Null) return invalid_type("null");
  ORX_CHECK(literal("null"));
  size_t entries = 1;
  while (true) {
    ORX_TRY(const bool more, next_key(name));
    if (!more) break;
    ORX_CHECK(skip_value());
    ++entries;
  }
  if (entries != 1) return error_at(start, invalid_length(entries, "map with a single key"));
  return index;
}

// --- reading: containers ------------------------------------------------------------------------

Status Reader::open() {
  if (depth_ >= kMaxDepth) return syntax("recursion limit exceeded");
  ++depth_;
  first_[depth_] = true;
  ++pos_;
  return {};
}

Status Reader::begin_object(std::string_view expected) {
  ORX_TRY(const Kind kind, peek());
  if (kind != Kind::Object) return invalid_type(expected);
  return open();
}

Status Reader::begin_array(std::string_view expected) {
  ORX_TRY(const Kind kind, peek());
  if (kind != Kind::Array) return invalid_type(expected);
  return open();
}

Result<bool> Reader::next_key(std::string& key) {
  skip_space();
  if (at_end()) return eof("EOF while parsing an object");
  if (cur() == '}') {
    ++pos_;
    --depth_;
    return false;
  }
  if (first_[depth_]) {
    first_[depth_] = false;
  } else {
    if (cur() != ',') return syntax("expected `,` or `}`");
    ++pos_;
    skip_space();
    if (at_end()) return eof("EOF while parsing an object");
    if (cur() == '}') return syntax("trailing comma");
  }
  if (cur() != '"') return syntax("key must be a string");
  key_pos_ = pos_;
  ORX_TRY(key, string_body());
  skip_space();
  if (at_end()) return eof("EOF while parsing an object");
  if (cur() != ':') return syntax("expected `:`");
  ++pos_;
  return true;
}

Result<bool> Reader::next_element() {
  skip_space();
  if (at_end()) return eof("EOF while parsing a list");
  if (cur() == ']') {
    ++pos_;
    --depth_;
    return false;
  }
  if (first_[depth_]) {
    first_[depth_] = false;
    return true;
  }
  if (cur() != ',') return syntax("expected `,` or `]`");
  ++pos_;
  skip_space();
  if (at_end()) return eof("EOF while parsing a value");
  if (cur() == ']') return syntax("trailing comma");
  return true;
}

Status Reader::skip_value() {
  ORX_TRY(const Kind kind, peek());
  switch (kind) {
    case Kind::String: {
      ORX_TRY([[maybe_unused]] const std::string ignored, string_body());
      return {};
    }
    case Kind::Number: {
      ORX_TRY([[maybe_unused]] const Number ignored, number());
      return {};
    }
    case Kind::Bool:
      return literal(cur() == 't' ? "true" : "false");
    case Kind::Null:
      return literal("null");
    case Kind::Array: {
      ORX_CHECK(open());
      while (true) {
        ORX_TRY(const bool more, next_element());
        if (!more) return {};
        ORX_CHECK(skip_value());  // recursion bounded by kMaxDepth
      }
    }
    case Kind::Object: {
      ORX_CHECK(open());
      std::string key;
      while (true) {
        ORX_TRY(const bool more, next_key(key));
        if (!more) return {};
        ORX_CHECK(skip_value());
      }
    }
  }
  return {};
}

Status Reader::finish() {
  skip_space();
  if (!at_end()) return syntax("trailing characters");
  return {};
}

}  // namespace orx::json
