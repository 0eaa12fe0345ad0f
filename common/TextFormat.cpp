#include "common/TextFormat.h"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string ToChars(double value, std::chars_format format) {
  // Largest "%lf" of a double is about 310 digits plus sign and decimals.
  char buf[400];
  auto result = std::to_chars(buf, buf + sizeof buf, value, format, 6);
  if (result.ec != std::errc()) return std::string();
  return std::string(buf, result.ptr);
}

locale_t CLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c;
}

}  // namespace

std::string FormatExp(double value) { return ToChars(value, std::chars_format::scientific); }

std::string FormatFixed(double value) {
  std::string text = ToChars(value, std::chars_format::fixed);
  std::size_t point = text.find('.');
  if (point == std::string::npos) return text;  // inf, nan
  std::size_t keep = text.find_last_not_of('0');
  if (keep < point + 1) keep = point + 1;
  text.erase(keep + 1);
  return text;
}

std::string FormatGeneral(double value) {
  char buf[64];
  auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  if (result.ec != std::errc()) return std::string();
  return std::string(buf, result.ptr);
}

std::optional<double> ScanDouble(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  // strtod_l is strtod in the C locale: the same grammar as scanf's "%lf".
  double value = strtod_l(begin, &end, CLocale());
  if (end == begin) return std::nullopt;
  return value;
}

std::optional<int> ScanUnsigned(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
  // "%u" reduces the number modulo 2^32; overflow saturates like strtoul.
  std::uint64_t value = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > 0xFFFFFFFFull) overflow = true;
  }
  std::uint32_t u = overflow ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
  if (negative) u = 0u - u;
  return static_cast<int>(static_cast<std::int32_t>(u));
}

std::optional<int> ParseIniInteger(const std::string& text) {
  std::size_t b = 0, e = text.size();
  while (b < e && IsSpace(text[b])) ++b;
  while (e > b && IsSpace(text[e - 1])) --e;
  std::string s = text.substr(b, e - b);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    std::uint64_t value = 0;
    auto r = std::from_chars(s.data() + 2, s.data() + s.size(), value, 16);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<int>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
  }
  const char* first = s.data();
  if (!s.empty() && s[0] == '+') ++first;  // from_chars takes no plus sign
  if (first < s.data() + s.size() && *first == '-' && first != s.data()) return std::nullopt;
  int value = 0;
  auto r = std::from_chars(first, s.data() + s.size(), value, 10);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size() || first == s.data() + s.size())
    return std::nullopt;
  return value;
}
