#include "utils.h"

#include <optional>

namespace orx {

bool is_valid_utf8(std::string_view bytes) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
      ++pos;
      continue;
    }
    if (next_code_point(bytes, pos) < 0) return false;
  }
  return true;
}

int32_t next_code_point(std::string_view text, size_t& pos) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  const unsigned char c = s[pos];
  if (c < 0x80) {
    ++pos;
    return c;
  }
  int len;
  int32_t cp;
  int32_t min;
  if ((c & 0xE0) == 0xC0) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    ++pos;
    return -1;
  }
  if (n - pos < static_cast<size_t>(len)) {
    ++pos;
    return -1;
  }
  for (int i = 1; i < len; ++i) {
    const unsigned char cc = s[pos + i];
    if ((cc & 0xC0) != 0x80) {
      ++pos;
      return -1;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return -1;
  }
  pos += len;
  return cp;
}

bool is_unicode_space(int32_t cp) {
  switch (cp) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

std::string_view trim_unicode_space(std::string_view text) {
  // Leading: decode forward.
  size_t pos = 0;
  while (pos < text.size()) {
    size_t next = pos;
    if (!is_unicode_space(next_code_point(text, next))) break;
    pos = next;
  }
  text.remove_prefix(pos);
  // Trailing: step back over continuation bytes to the start of the last code point.
  while (!text.empty()) {
    size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80 &&
           text.size() - start < 4) {
      --start;
    }
    size_t at = start;
    const int32_t cp = next_code_point(text, at);
    if (at != text.size() || !is_unicode_space(cp)) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

// --- Time -------------------------------------------------------------------------------------

namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr int64_t kSecondsPerDay = 86'400;

// Days from 1970-01-01 to a proleptic Gregorian date (month 1 to 12), for |year| well below
// 2^40. Eras of 400 years repeat exactly; the year is taken to start in March so that the leap
// day comes last.
int64_t days_from_civil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yoe = year - era * 400;                                               // 0 to 399
  const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;  // 0 to 365
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;                          // 0 to 146096
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year;
  int month;
  int day;
};

Civil civil_from_days(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2), month, day};
}

bool is_leap_year(int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(int64_t year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

// Reads a date text field by field. Every failure of the pattern is reported where it is
// found; the ranges of the fields are checked only once the whole text has matched.
class DateScanner {
 public:
  explicit DateScanner(std::string_view text) : s_(text) {}

  void skip_space() {
    while (pos_ < s_.size()) {
      size_t next = pos_;
      if (!is_unicode_space(next_code_point(s_, next))) break;
      pos_ = next;
    }
  }

  // One to `max_digits` ASCII digits after optional white space.
  std::optional<ParseReason> number(int max_digits, int& out) {
    skip_space();
    int value = 0, n = 0;
    while (n < max_digits && pos_ < s_.size() && is_digit(s_[pos_])) {
      value = value * 10 + (s_[pos_++] - '0');
      ++n;
    }
    if (n == 0) return missing();
    out = value;
    return std::nullopt;
  }

  // One to four digits, or a sign and any number of digits. A year too large for any valid
  // result is only flagged, so that the rest of the text is still matched first.
  std::optional<ParseReason> year(int64_t& out, bool& too_large) {
    skip_space();
    if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) {
      const bool negative = s_[pos_++] == '-';
      int64_t value = 0;
      size_t n = 0;
      for (; pos_ < s_.size() && is_digit(s_[pos_]); ++pos_, ++n) {
        if (value < kYearLimit)
          value = value * 10 + (s_[pos_] - '0');
        else
          too_large = true;
      }
      if (n == 0) return missing();
      out = negative ? -value : value;
      return std::nullopt;
    }
    int value = 0;
    if (auto failed = number(4, value)) return failed;
    out = value;
    return std::nullopt;
  }

  std::optional<ParseReason> literal(char c) {
    if (pos_ >= s_.size()) return ParseReason::TooShort;
    if (s_[pos_] != c) return ParseReason::Invalid;
    ++pos_;
    return std::nullopt;
  }

  bool at_end() const { return pos_ == s_.size(); }

  // Past any year that could give a signed 64-bit nanosecond count, and small enough that
  // the day arithmetic cannot overflow.
  static constexpr int64_t kYearLimit = 1'000'000;

 private:
  static bool is_digit(char c) { return c >= '0' && c <= '9'; }
  ParseReason missing() const {
    return pos_ >= s_.size() ? ParseReason::TooShort : ParseReason::Invalid;
  }

  std::string_view s_;
  size_t pos_ = 0;
};

}  // namespace

Result<int64_t> date_to_unix_nanos(std::string_view text) {
  DateScanner scan(text);
  int64_t year = 0;
  bool year_too_large = false;
  int month = 0, day = 0, hour = 0, minute = 0, second = 0;
  const bool with_time = text.size() != 10;
  std::optional<ParseReason> failed;
  if ((failed = scan.year(year, year_too_large)) || (failed = scan.literal('-')) ||
      (failed = scan.number(2, month)) || (failed = scan.literal('-')) ||
      (failed = scan.number(2, day)))
    return Error(*failed);
  if (with_time) {
    scan.skip_space();
    if ((failed = scan.number(2, hour)) || (failed = scan.literal(':')) ||
        (failed = scan.number(2, minute)) || (failed = scan.literal(':')) ||
        (failed = scan.number(2, second)))
      return Error(*failed);
  }
  if (!scan.at_end()) return Error(ParseReason::TooLong);

  if (year_too_large || year <= -DateScanner::kYearLimit || year >= DateScanner::kYearLimit ||
      month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 60)
    return Error(ParseReason::OutOfRange);
  // Second 60 is a leap second, counted as second 0 of the next minute.
  const int64_t seconds =
      days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  int64_t nanos;
  if (__builtin_mul_overflow(seconds, kNanosPerSecond, &nanos))
    return Error(ParseReason::OutOfRange);
  return nanos;
}

std::string unix_nanos_to_string(int64_t nanos) {
  // Floor division: -1 ns is the last second of 1969.
  int64_t seconds = nanos / kNanosPerSecond;
  if (nanos % kNanosPerSecond < 0) --seconds;
  int64_t days = seconds / kSecondsPerDay;
  int64_t of_day = seconds % kSecondsPerDay;
  if (of_day < 0) {
    of_day += kSecondsPerDay;
    --days;
  }
  const Civil date = civil_from_days(days);
  // Written digit by digit: this runs once per row when records become tables.
  char buf[19] = {'0', '0', '0', '0', '-', '0', '0', '-', '0', '0',
                  ' ', '0', '0', ':', '0', '0', ':', '0', '0'};
  auto two = [&](int at, int v) {
    buf[at] = static_cast<char>('0' + v / 10);
    buf[at + 1] = static_cast<char>('0' + v % 10);
  };
  const int year = static_cast<int>(date.year);  // 1677 to 2262 for every int64_t
  two(0, year / 100);
  two(2, year % 100);
  two(5, date.month);
  two(8, date.day);
  two(11, static_cast<int>(of_day / 3600));
  two(14, static_cast<int>(of_day / 60 % 60));
  two(17, static_cast<int>(of_day % 60));
  return std::string(buf, sizeof buf);
}

}  // namespace orx
