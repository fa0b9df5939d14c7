// Fuzz target for the float printing of expectation messages: every double and float built from
// the input's bytes is printed with `vesk::formatFloat`, and the text must have the printed form
// (sign, one digit, optional fraction without trailing zeros, "e", exponent without a plus sign or
// leading zeros; "nan", "inf", "-inf"), read back with std::from_chars to the very same value in
// the same precision, and be shortest: no decimal with one significant digit less reads back to it.
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <vesk/log.hpp>
#include "writer.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view text) {
  // On standard output, which fuzzing runs keep open (they close standard error).
  (void)std::printf("fuzz_float_format: %s: \"%.*s\"\n", what, static_cast<int>(text.size()),
                    text.data());
  (void)std::fflush(stdout);
  std::abort();
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The parts of a printed finite value: its significant digits (without the point) and its
// decimal exponent, so that the value is 0.d1 d2 ... dn times 10^(exponent + 1).
struct Parsed {
  std::string digits;
  long exponent = 0;
};

// Checks the printed form of a finite value and splits it.
Parsed parseForm(std::string_view text) {
  std::string_view rest = text;
  if (!rest.empty() && rest.front() == '-') rest.remove_prefix(1);
  if (rest.empty() || !isDigit(rest.front())) fail("no leading digit", text);
  Parsed parsed;
  parsed.digits.push_back(rest.front());
  rest.remove_prefix(1);
  if (!rest.empty() && rest.front() == '.') {
    rest.remove_prefix(1);
    if (rest.empty() || !isDigit(rest.front())) fail("a point without digits after it", text);
    while (!rest.empty() && isDigit(rest.front())) {
      parsed.digits.push_back(rest.front());
      rest.remove_prefix(1);
    }
    if (parsed.digits.back() == '0') fail("a trailing zero in the fraction", text);
  }
  if (parsed.digits.front() == '0' && parsed.digits.size() != 1) fail("a leading zero", text);
  if (rest.empty() || rest.front() != 'e') fail("no exponent", text);
  rest.remove_prefix(1);
  bool negative = false;
  if (!rest.empty() && rest.front() == '-') {
    negative = true;
    rest.remove_prefix(1);
  }
  if (rest.empty()) fail("an empty exponent", text);
  if (rest.size() > 1 && rest.front() == '0') fail("a leading zero in the exponent", text);
  if (negative && rest == "0") fail("a negative zero exponent", text);
  for (char c : rest) {
    if (!isDigit(c)) fail("a stray character in the exponent", text);
  }
  std::from_chars(rest.data(), rest.data() + rest.size(), parsed.exponent);
  if (negative) parsed.exponent = -parsed.exponent;
  return parsed;
}

// Splits the standard library's scientific form ("1.250e+02"), which keeps trailing zeros, a plus
// sign and leading zeros in the exponent.
Parsed parseLibraryForm(std::string_view text) {
  Parsed parsed;
  const std::size_t e = text.find('e');
  for (char c : text.substr(0, e)) {
    if (isDigit(c)) parsed.digits.push_back(c);
  }
  std::string_view exponent = text.substr(e + 1);
  if (!exponent.empty() && exponent.front() == '+') exponent.remove_prefix(1);
  std::from_chars(exponent.data(), exponent.data() + exponent.size(), parsed.exponent);
  return parsed;
}

template <class F>
bool readsBackTo(const std::string& text, F value) {
  F back{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
  return ec == std::errc() && end == text.data() + text.size() &&
         std::bit_cast<std::conditional_t<sizeof(F) == 8, std::uint64_t, std::uint32_t>>(back) ==
             std::bit_cast<std::conditional_t<sizeof(F) == 8, std::uint64_t, std::uint32_t>>(value);
}

// Whether some decimal of `digits` significant digits (fewer than printed) reads back to `value`.
// The decimals of that length nearest to the value, below and above it, are among the candidates
// tried (any candidate that reads back proves the printed text too long, so extra ones are safe):
// neighbours of the printed digits cut short, and neighbours of the value rounded to that length.
template <class F>
bool shorterReadsBack(F value, const Parsed& printed, std::size_t digits) {
  const bool negative = std::signbit(value);
  const std::string sign = negative ? "-" : "";
  auto try_mantissa = [&](long long mantissa, long exponent) {
    if (mantissa <= 0) return false;
    const std::string text = sign + std::to_string(mantissa) + "e" + std::to_string(exponent);
    return readsBackTo(text, value);
  };
  // The printed digits cut to `digits`, as an integer mantissa at the printed scale.
  const long long cut = std::stoll(printed.digits.substr(0, digits));
  const long cut_exponent = printed.exponent - static_cast<long>(digits) + 1;
  for (long long d = -2; d <= 2; ++d) {
    if (try_mantissa(cut + d, cut_exponent)) return true;
  }
  // The value rounded to `digits` by the library, which may move it into the next decade.
  std::array<char, 64> buf;
  const auto rounded = std::to_chars(buf.data(), buf.data() + buf.size(), std::fabs(value),
                                     std::chars_format::scientific, static_cast<int>(digits) - 1);
  const Parsed r = parseLibraryForm(std::string_view(buf.data(), rounded.ptr));
  const long long near = std::stoll(r.digits);
  const long near_exponent = r.exponent - static_cast<long>(r.digits.size()) + 1;
  for (long long d = -1; d <= 1; ++d) {
    if (try_mantissa(near + d, near_exponent)) return true;
  }
  return false;
}

template <class F>
void checkValue(F value) {
  std::array<char, 32> out;
  const std::string_view text = vesk::formatFloat(std::span<char, 32>(out), value);
  if (text.empty() || text.size() > out.size()) fail("an empty or overlong text", text);
  if (std::isnan(value)) {
    if (text != "nan") fail("NaN printed otherwise than nan", text);
    return;
  }
  if (std::isinf(value)) {
    if (text != (value < 0 ? "-inf" : "inf")) fail("an infinity printed wrongly", text);
    return;
  }
  const std::string owned(text);
  if (!readsBackTo(owned, value)) fail("does not read back to the same value", text);
  if ((text.front() == '-') != std::signbit(value)) fail("the sign is wrong", text);
  const Parsed parsed = parseForm(text);
  if (parsed.digits.size() > 1 && shorterReadsBack(value, parsed, parsed.digits.size() - 1)) {
    fail("not the shortest text that reads back", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Every 8-byte window a double and every 4-byte window a float, at every offset up to 8, so
  // that one input covers both precisions.
  for (std::size_t offset = 0; offset < 8 && offset + 4 <= size; ++offset) {
    std::uint32_t narrow;
    std::memcpy(&narrow, data + offset, sizeof narrow);
    checkValue(std::bit_cast<float>(narrow));
    if (offset + 8 <= size) {
      std::uint64_t wide;
      std::memcpy(&wide, data + offset, sizeof wide);
      checkValue(std::bit_cast<double>(wide));
    }
  }
  return 0;
}
