// Expectations that cases state: a truth test, an absolute-tolerance comparison of floats, and an
// exact comparison that prints both values when they differ. Each failed expectation returns its
// own error value through the error-return trace; only the truth test prints nothing.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <vesk/error.hpp>

namespace vesk {

/// Success when `ok`, otherwise "TestUnexpectedResult" (prints nothing).
[[nodiscard]] Result<void> expect(bool ok) noexcept;

/// Success when `expected` and `actual` are equal or within `tolerance` of each other; otherwise
/// prints "actual {}, not within absolute tolerance {} of expected {}" and returns
/// "TestExpectedApproxEqAbs". A negative or NaN tolerance stops with "reached unreachable code".
[[nodiscard]] Result<void> expectApproxEqAbs(double expected, double actual,
                                             double tolerance) noexcept;
/// The same comparison carried out, and printed, in single precision.
[[nodiscard]] Result<void> expectApproxEqAbs(float expected, float actual,
                                             float tolerance) noexcept;

/// Success when `expected` and `actual` are equal; otherwise prints both on standard error and
/// returns "TestExpectedEqual". The two must be of one kind (integers by value, bool, one
/// enumeration, pointers, floating point exactly, strings, contiguous sequences of these); what
/// each kind compares and how messages print it: docs/expectations.md. Always inlined, so that
/// the error return a failure records is in the case that called it.
template <class E, class A>
[[nodiscard, gnu::always_inline]] inline Result<void> expectEqual(const E& expected,
                                                                  const A& actual) noexcept;

/// `expectEqual` with a braced list of expected elements: `expectEqual({1, 2, 3}, values)`.
template <class T, class A>
[[nodiscard]] Result<void> expectEqual(std::initializer_list<T> expected,
                                       const A& actual) noexcept {
  return expectEqual(std::span<const T>(expected.begin(), expected.size()), actual);
}

namespace detail {

/// One operand of `expectEqual`, reduced to a kind that is compared and printed out of line.
struct Shown {
  enum class Kind : std::uint8_t {
    signed_integer,    ///< `integer` holds the value in two's complement
    unsigned_integer,  ///< `integer`
    character,         ///< a `char`, compared as a signed integer, printed quoted
    boolean,           ///< `integer` is 0 or 1
    pointer,           ///< `integer` is the address, 0 for null
    float32,           ///< `real` holds the float, widened exactly
    float64,           ///< `real`
    bytes,             ///< `bytes`
  };
  Kind kind;
  std::uint64_t integer = 0;
  double real = 0;
  std::string_view bytes{};
};

/// A contiguous sequence of operands, each shown on demand by `at`.
struct ShownSequence {
  const void* data;
  std::size_t len;
  Shown (*at)(const void* data, std::size_t index) noexcept;
};

/// Compares two shown operands; on a difference prints the message and returns
/// "TestExpectedEqual".
[[nodiscard]] Result<void> expectEqualShown(const Shown& expected, const Shown& actual) noexcept;
/// The same for two sequences, element by element.
[[nodiscard]] Result<void> expectEqualSequences(const ShownSequence& expected,
                                                const ShownSequence& actual) noexcept;

enum class Category : std::uint8_t {
  none,
  integer,
  boolean,
  enumeration,
  pointer,
  floating,
  string,
  sequence
};

template <class T>
constexpr bool is_c_string = std::is_same_v<T, const char*> || std::is_same_v<T, char*>;

template <class T>
constexpr bool is_char_array =
    std::is_array_v<T>&& std::is_same_v<std::remove_cv_t<std::remove_extent_t<T>>, char>;

template <class T>
concept CharSequence =
    std::ranges::contiguous_range<const T> && std::ranges::sized_range<const T> &&
    std::same_as < std::remove_cv_t<std::ranges::range_value_t<const T>>,
char > ;

template <class T>
consteval Category scalarCategory() {
  if constexpr (std::is_same_v<T, bool>) {
    return Category::boolean;
  } else if constexpr (std::is_integral_v<T>) {
    return Category::integer;
  } else if constexpr (std::is_enum_v<T>) {
    return Category::enumeration;
  } else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
    return Category::floating;
  } else if constexpr (is_c_string<T> || is_char_array<T> ||
                       std::is_convertible_v<const T&, std::string_view> || CharSequence<T>) {
    return Category::string;
  } else if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
    return Category::pointer;
  } else {
    return Category::none;
  }
}

template <class T>
using Element = std::remove_cv_t<std::ranges::range_value_t<const T>>;

template <class T>
consteval Category categoryOf() {
  constexpr Category SCALAR = scalarCategory<T>();
  if constexpr (SCALAR != Category::none) {
    return SCALAR;
  } else if constexpr (std::ranges::contiguous_range<const T> &&
                       std::ranges::sized_range<const T>) {
    return scalarCategory<Element<T>>() == Category::none ? Category::none : Category::sequence;
  } else {
    return Category::none;
  }
}

/// Whether `expectEqual` can compare an E with an A: the same kind, one enumeration type, and for
/// sequences elements that could be compared themselves.
template <class E, class A>
consteval bool sameKind() {
  constexpr Category CATEGORY = categoryOf<E>();
  if constexpr (CATEGORY == Category::none || CATEGORY != categoryOf<A>()) {
    return false;
  } else if constexpr (CATEGORY == Category::enumeration) {
    return std::is_same_v<E, A>;
  } else if constexpr (CATEGORY == Category::sequence) {
    return sameKind<Element<E>, Element<A>>();
  } else {
    return true;
  }
}

template <class T>
Shown show(const T& value) noexcept {
  using Kind = Shown::Kind;
  if constexpr (std::is_same_v<T, bool>) {
    return {.kind = Kind::boolean, .integer = value ? 1u : 0u};
  } else if constexpr (std::is_same_v<T, char>) {
    return {.kind = Kind::character,
            .integer = static_cast<std::uint64_t>(static_cast<std::int64_t>(value))};
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    return {.kind = Kind::signed_integer,
            .integer = static_cast<std::uint64_t>(static_cast<std::int64_t>(value))};
  } else if constexpr (std::is_integral_v<T>) {
    return {.kind = Kind::unsigned_integer, .integer = static_cast<std::uint64_t>(value)};
  } else if constexpr (std::is_enum_v<T>) {
    // Promoted, so that an enumeration over `char` prints as a number too.
    return show(+std::to_underlying(value));
  } else if constexpr (std::is_same_v<T, float>) {
    return {.kind = Kind::float32, .real = value};
  } else if constexpr (std::is_same_v<T, double>) {
    return {.kind = Kind::float64, .real = value};
  } else if constexpr (is_c_string<T>) {
    if (value == nullptr) return {.kind = Kind::pointer};
    return {.kind = Kind::bytes, .bytes = std::string_view(value)};
  } else if constexpr (is_char_array<T>) {
    // A literal's terminating zero, or a buffer's unused tail, is not part of the string; a
    // buffer without a zero byte is taken whole.
    const char* end = std::char_traits<char>::find(value, std::extent_v<T>, '\0');
    const std::size_t len =
        end != nullptr ? static_cast<std::size_t>(end - value) : std::extent_v<T>;
    return {.kind = Kind::bytes, .bytes = std::string_view(value, len)};
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return {.kind = Kind::bytes, .bytes = std::string_view(value)};
  } else if constexpr (CharSequence<T>) {
    return {.kind = Kind::bytes,
            .bytes = std::string_view(std::ranges::data(value), std::ranges::size(value))};
  } else if constexpr (std::is_null_pointer_v<T>) {
    return {.kind = Kind::pointer};
  } else {
    return {.kind = Kind::pointer, .integer = reinterpret_cast<std::uintptr_t>(value)};
  }
}

template <class T>
ShownSequence showSequence(const T& sequence) noexcept {
  using Item = std::remove_reference_t<std::ranges::range_reference_t<const T>>;
  return {static_cast<const void*>(std::ranges::data(sequence)), std::ranges::size(sequence),
          [](const void* data, std::size_t index) noexcept {
            return show<Element<T>>(static_cast<const Item*>(data)[index]);
          }};
}

}  // namespace detail

template <class E, class A>
inline Result<void> expectEqual(const E& expected, const A& actual) noexcept {
  static_assert(detail::sameKind<E, A>(),
                "expectEqual compares two operands of one kind: integers, bool, values of one "
                "enumeration, pointers, floats, strings, or contiguous sequences of these");
  if constexpr (!detail::sameKind<E, A>()) {
    return {};  // refused above; nothing more to instantiate
  } else if constexpr (detail::categoryOf<E>() == detail::Category::sequence) {
    return detail::expectEqualSequences(detail::showSequence(expected),
                                        detail::showSequence(actual));
  } else if constexpr (std::is_pointer_v<E> && std::is_pointer_v<A> && !std::is_same_v<E, A> &&
                       requires { typename std::common_type_t<E, A>; }) {
    // Compared as `==` would: a pointer to a base is adjusted before its address is taken.
    using Common = std::common_type_t<E, A>;
    return detail::expectEqualShown(detail::show(static_cast<Common>(expected)),
                                    detail::show(static_cast<Common>(actual)));
  } else {
    return detail::expectEqualShown(detail::show(expected), detail::show(actual));
  }
}

}  // namespace vesk
