#include <string>

#include "check.h"
#include "json.h"
#include "retrieve.h"

using namespace orx;

namespace {

std::string quoted(std::string_view text) {
  std::string out;
  json::write_string(out, text);
  return out;
}

std::string debug_quoted(std::string_view text) {
  std::string out;
  json::write_debug_string(out, text);
  return out;
}

// Reads any one value and the end of input: "ok" or the error text.
std::string check_syntax(std::string_view text) {
  json::Reader r(text);
  auto s = r.skip_value();
  if (s) s = r.finish();
  return s ? "ok" : std::string(s.error().payload());
}

std::string read_params(std::string_view text) {
  auto r = retrieve_params_from_json(text);
  return r ? debug_text(*r) : std::string(r.error().payload());
}

}  // namespace

TEST(json_write_string_escapes) {
  CHECK_EQ(quoted(""), "\"\"");
  CHECK_EQ(quoted("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
  CHECK_EQ(quoted("\b\f\n\r\t"), "\"\\b\\f\\n\\r\\t\"");
  CHECK_EQ(quoted(std::string_view("\0\x01\x1f\x0b\x1b", 5)),
           "\"\\u0000\\u0001\\u001f\\u000b\\u001b\"");
  CHECK_EQ(quoted("\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"),
           "\"\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"");
  // Every control character, against an independent spelling.
  for (int c = 0; c < 0x20; ++c) {
    static const char* hex = "0123456789abcdef";
    const std::string in(1, static_cast<char>(c));
    std::string want = std::string("\"\\u00") + hex[c >> 4] + hex[c & 15] + "\"";
    if (c == 8) want = "\"\\b\"";
    if (c == 9) want = "\"\\t\"";
    if (c == 10) want = "\"\\n\"";
    if (c == 12) want = "\"\\f\"";
    if (c == 13) want = "\"\\r\"";
    CHECK_EQ(quoted(in), want);
  }
}

TEST(json_write_i64) {
  std::string out;
  json::write_i64(out, INT64_MIN);
  out += ' ';
  json::write_i64(out, 0);
  out += ' ';
  json::write_i64(out, INT64_MAX);
  CHECK_EQ(out, "-9223372036854775808 0 9223372036854775807");
}

TEST(json_debug_string) {
  CHECK_EQ(debug_quoted("a\"b\\c'd/"), "\"a\\\"b\\\\c'd/\"");
  CHECK_EQ(debug_quoted(std::string_view("\0\t\n\r", 4)), "\"\\0\\t\\n\\r\"");
  CHECK_EQ(debug_quoted("\x01\x1f\x7f\xc2\x80\xc2\x9f"), "\"\\u{1}\\u{1f}\\u{7f}\\u{80}\\u{9f}\"");
  CHECK_EQ(debug_quoted("\b\f\x0b"), "\"\\u{8}\\u{c}\\u{b}\"");
  CHECK_EQ(debug_quoted("\xc2\xa0\xc3\xa9\xf0\x9f\x98\x80"),
           "\"\xc2\xa0\xc3\xa9\xf0\x9f\x98\x80\"");
}

TEST(json_syntax_accepted) {
  for (const char* text : {"0", "-0", "1.5e-3", "-12E+4", "1e9", "true", "false", "null", "\"\"",
                           " [ ] ", "{}", "[1,[2,{\"a\":[null]}],\"x\"]", "\r\n\t {\"\":0}\n",
                           "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\uD83D\\uDE00\"",
                           "\"\xc3\xa9\xf0\x9f\x98\x80\x7f\""}) {
    CHECK_EQ(check_syntax(text), "ok");
  }
}

TEST(json_syntax_errors_and_positions) {
  struct Row {
    const char* text;
    const char* error;
  };
  const Row rows[] = {
      {"", "EOF while parsing a value at line 1 column 1"},
      {"   ", "EOF while parsing a value at line 1 column 4"},
      {"x", "expected value at line 1 column 1"},
      {" ]", "expected value at line 1 column 2"},
      {"[", "EOF while parsing a list at line 1 column 2"},
      {"[1", "EOF while parsing a list at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 4"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[,1]", "expected value at line 1 column 2"},
      {"{", "EOF while parsing an object at line 1 column 2"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 5"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 6"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 7"},
      {"{\"a\":1,", "EOF while parsing an object at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"{a:1}", "key must be a string at line 1 column 2"},
      {"{1:1}", "key must be a string at line 1 column 2"},
      {"\"abc", "EOF while parsing a string at line 1 column 5"},
      {"\"a\\", "EOF while parsing a string at line 1 column 4"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12g4\"", "invalid escape at line 1 column 6"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 6"},
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
       "column 3"},
      {"\"\\ud800\"", "lone leading surrogate in hex escape at line 1 column 8"},
      {"\"\\ud800", "EOF while parsing a string at line 1 column 8"},
      {"\"\\ud800\\", "EOF while parsing a string at line 1 column 9"},
      {"\"\\ud800\\n\"", "lone leading surrogate in hex escape at line 1 column 8"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 8"},
      {"\"\\ud800\\ud800\"", "lone leading surrogate in hex escape at line 1 column 8"},
      {"\"ab\\udc00\"", "lone trailing surrogate in hex escape at line 1 column 4"},
      {"-", "EOF while parsing a value at line 1 column 2"},
      {"-a", "invalid number at line 1 column 2"},
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"1.", "EOF while parsing a value at line 1 column 3"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 3"},
      {"1e+", "EOF while parsing a value at line 1 column 4"},
      {"1ex", "invalid number at line 1 column 3"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"tru", "EOF while parsing a value at line 1 column 4"},
      {"trUe", "expected ident at line 1 column 3"},
      {"nul", "EOF while parsing a value at line 1 column 4"},
      {"True", "expected value at line 1 column 1"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"[]]", "trailing characters at line 1 column 3"},
      {"{}\n\n  x", "trailing characters at line 3 column 3"},
      {"[\n1,\n\n]", "trailing comma at line 4 column 1"},
      {"[1,\n", "EOF while parsing a value at line 2 column 1"},
      {"\"\xc3\xa9\xc3\xa9\" x",
       "trailing characters at line 1 column 6"},  // columns count characters
      {"\xc2\xa0"
       "1",
       "expected value at line 1 column 1"},  // only ASCII white space
      {"1\v", "trailing characters at line 1 column 2"},
      {"\"\xff\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 2"},
  };
  for (const Row& row : rows) CHECK_EQ(check_syntax(row.text), std::string(row.error));
  CHECK_EQ(check_syntax(std::string_view("\"\0\"", 3)),
           "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2");
}

TEST(json_strings_decode) {
  json::Reader r("\"a\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0000\\u00e9\\u20AC\\ud83d\\ude00\xc3\xa9\"");
  auto s = r.read_string("a string");
  CHECK(s.ok());
  CHECK_EQ(*s, std::string("a\"\\/\b\f\n\r\t\0\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xc3\xa9", 21));
}

TEST(json_depth_limit) {
  const std::string ok = std::string(128, '[') + std::string(128, ']');
  CHECK_EQ(check_syntax(ok), "ok");
  const std::string deep = std::string(129, '[') + std::string(129, ']');
  CHECK_EQ(check_syntax(deep), "recursion limit exceeded at line 1 column 129");
  const std::string hostile(100000, '[');
  CHECK_EQ(check_syntax(hostile), "recursion limit exceeded at line 1 column 129");
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  CHECK_EQ(check_syntax(objects), "recursion limit exceeded at line 1 column 641");
  CHECK_EQ(read_params("{\"x\":" + hostile), "recursion limit exceeded at line 1 column 133");
  CHECK_EQ(read_params("[" + hostile),
           "invalid type: sequence, expected a string at line 1 column 3");
}

TEST(json_long_inputs) {
  const std::string big(1 << 20, 'a');
  CHECK_EQ(check_syntax("\"" + big + "\""), "ok");
  std::string many = "[";
  for (int i = 0; i < 100000; ++i) many += "1,";
  many += "1]";
  CHECK_EQ(check_syntax(many), "ok");
  // A very long integer is reported whole.
  const std::string digits(5000, '9');
  CHECK_EQ(read_params("[[]," + digits + ",0,\"Mbp1\",\"Futures\",\"Raw\"]"),
           "invalid value: integer `" + digits + "`, expected i64 at line 1 column 5");
}
