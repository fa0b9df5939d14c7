// Cases that register themselves, and checks that report both values: VESK_CASE with its fixture,
// typed and table-driven forms, VESK_CHECK_* (record a failure, the case goes on) and
// VESK_REQUIRE_* (record it and end the case). Link vesk::harness_main for a `main` that runs the
// registered cases (vesk_harness.hpp has them as a table, for a main of one's own); a hand-written
// table handed to `harnessMain` needs nothing from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include <vesk/error.hpp>
#include <vesk/test_case.hpp>

namespace vesk {

/// The text of one value in a failure message, in a fixed buffer: what does not fit is cut, and
/// the text then ends with "...".
class ValueText {
 public:
  ValueText& put(std::string_view text) noexcept;
  ValueText& put(char c) noexcept { return put(std::string_view(&c, 1)); }
  ValueText& putSigned(std::int64_t value) noexcept;
  ValueText& putUnsigned(std::uint64_t value) noexcept;
  /// Shortest form that reads back, in the value's own precision ("1e0", "2.5e-1").
  ValueText& putFloat(double value) noexcept;
  ValueText& putFloat(float value) noexcept;
  /// Quoted with `'`, escaped as a string would be.
  ValueText& putChar(char value) noexcept;
  /// Quoted with `"`; `"` and `\` escaped, control and non-ASCII bytes as \t, \n, \r or \xNN.
  ValueText& putQuoted(std::string_view bytes) noexcept;
  /// "0x..." in hexadecimal, or "null".
  ValueText& putPointer(std::uintptr_t address) noexcept;
  /// "{N bytes: 01 02 ...}", for values of a type that has no other way to print.
  ValueText& putBytes(const void* data, std::size_t size) noexcept;
  /// What `write` puts on a std::ostream for `value`: the form of a type's own operator<<.
  ValueText& putStreamed(void (*write)(std::ostream&, const void*), const void* value) noexcept;
  /// The text so far.
  std::string_view view() const noexcept { return {buf_, len_}; }

 private:
  char buf_[256];
  std::size_t len_ = 0;
  bool cut_ = false;
};

/// The customisation point for printing a type in failure messages: specialise it with
/// `static void print(vesk::ValueText& out, const T& value)`. It comes before every built-in form.
template <class T>
struct CaseValue;

namespace cases_detail {

template <class T>
constexpr bool is_char_pointer = std::is_same_v<T, const char*> || std::is_same_v<T, char*>;

template <class T>
constexpr bool is_char_array =
    std::is_array_v<T>&& std::is_same_v<std::remove_cv_t<std::remove_extent_t<T>>, char>;

/// Strings compare and print as their text: C strings, character arrays (up to their first zero
/// byte), and whatever converts to std::string_view.
template <class T>
constexpr bool is_string =
    is_char_pointer<T> || is_char_array<T> || std::is_convertible_v<const T&, std::string_view>;

template <class T>
std::string_view stringOf(const T& value) noexcept {
  if constexpr (is_char_pointer<T>) {
    return value != nullptr ? std::string_view(value) : std::string_view();
  } else if constexpr (is_char_array<T>) {
    const char* end = std::char_traits<char>::find(value, std::extent_v<T>, '\0');
    return {value, end != nullptr ? static_cast<std::size_t>(end - value) : std::extent_v<T>};
  } else {
    return std::string_view(value);
  }
}

template <class T>
concept Range = !is_string<T> && (std::is_array_v<T> || requires(const T& r) {
  r.begin();
  r.end();
});

template <class T>
concept Streamable = requires(std::ostream& os, const T& v) {
  os << v;
};

template <class T>
concept ResultLike = requires(const T& v) {
  v.has_value();
  requires std::is_convertible_v<decltype(v.error()), Error>;
};

template <class T>
constexpr bool is_optional = false;
template <class T>
constexpr bool is_optional<std::optional<T>> = true;

template <class T>
concept TupleLike = requires {
  std::tuple_size<T>::value;
};

template <class T>
void printValue(ValueText& out, const T& value) noexcept;

template <class T>
std::size_t rangeLength(const T& range) noexcept {
  std::size_t n = 0;
  for (auto it = std::begin(range); it != std::end(range); ++it)
    ++n;
  return n;
}

/// Prints the elements [from, to) of `range`, with "..." where the window leaves some out.
template <class T>
void printRange(ValueText& out, const void* range, std::size_t from, std::size_t to) noexcept {
  const T& r = *static_cast<const T*>(range);
  out.put(from > 0 ? "[..." : "[");
  std::size_t i = 0;
  bool more = false;
  for (const auto& element : r) {
    if (i >= to) {
      more = true;
      break;
    }
    if (i >= from) {
      if (i > 0) out.put(", ");
      printValue(out, element);
    }
    ++i;
  }
  out.put(more ? ", ...]" : "]");
}

template <class T, std::size_t... I>
void printTuple(ValueText& out, const T& value, std::index_sequence<I...>) noexcept {
  using std::get;
  out.put("(");
  ((out.put(I == 0 ? "" : ", "), printValue(out, get<I>(value))), ...);
  out.put(")");
}

/// How many elements of a range a value shows when it is printed whole.
constexpr std::size_t ELEMENTS_WHOLE = 8;

template <class T>
void printValue(ValueText& out, const T& value) noexcept {
  if constexpr (requires { CaseValue<T>::print(out, value); }) {
    CaseValue<T>::print(out, value);
  } else if constexpr (std::is_same_v<T, bool>) {
    out.put(value ? "true" : "false");
  } else if constexpr (std::is_same_v<T, char>) {
    out.putChar(value);
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    out.putSigned(value);
  } else if constexpr (std::is_integral_v<T>) {
    out.putUnsigned(value);
  } else if constexpr (std::is_enum_v<T>) {
    printValue(out, +std::to_underlying(value));  // promoted: an enumeration over char is a number
  } else if constexpr (std::is_same_v<T, float>) {
    out.putFloat(value);
  } else if constexpr (std::is_floating_point_v<T>) {
    out.putFloat(static_cast<double>(value));
  } else if constexpr (is_char_pointer<T>) {
    if (value == nullptr) {
      out.put("null");
    } else {
      out.putQuoted(value);
    }
  } else if constexpr (is_string<T>) {
    out.putQuoted(stringOf(value));
  } else if constexpr (std::is_null_pointer_v<T>) {
    out.put("null");
  } else if constexpr (std::is_same_v<T, std::nullopt_t>) {
    out.put("nullopt");
  } else if constexpr (std::is_pointer_v<T>) {
    out.putPointer(reinterpret_cast<std::uintptr_t>(value));
  } else if constexpr (Streamable<T>) {
    out.putStreamed([](std::ostream& os, const void* v) { os << *static_cast<const T*>(v); },
                    &value);
  } else if constexpr (ResultLike<T>) {
    if (!value.has_value()) {
      out.put("error ").put(errorName(value.error()));
    } else if constexpr (std::is_void_v<typename T::value_type>) {
      out.put("success");
    } else {
      printValue(out, *value);
    }
  } else if constexpr (is_optional<T>) {
    if (value.has_value()) {
      out.put("optional(");
      printValue(out, *value);
      out.put(")");
    } else {
      out.put("nullopt");
    }
  } else if constexpr (TupleLike<T>) {
    printTuple(out, value, std::make_index_sequence<std::tuple_size<T>::value>());
  } else if constexpr (Range<T>) {
    printRange<T>(out, &value, 0, ELEMENTS_WHOLE);
  } else {
    out.putBytes(&value, sizeof value);
  }
}

/// Where a check is and how it was written: "VESK_CHECK_EQ(a, b)".
struct CheckSite {
  const char* file;
  unsigned line;
  std::string_view text;
};

/// One operand of a failed check, printed on demand.
struct Operand {
  const void* value;
  void (*print)(ValueText& out, const void* value) noexcept;
};

template <class T>
void printErased(ValueText& out, const void* value) noexcept {
  printValue(out, *static_cast<const T*>(value));
}

template <class T>
Operand operandOf(const T& value) noexcept {
  return {static_cast<const void*>(&value), &printErased<T>};
}

/// One range operand of a failed equality, printed around the first difference.
struct RangeOperand {
  const void* value;
  std::size_t length;
  void (*print)(ValueText& out, const void* value, std::size_t from, std::size_t to) noexcept;
};

enum class Relation : std::uint8_t { eq, ne, lt, le, gt, ge };

/// Prints "{file}:{line}: {text} failed" and ": {detail}" when there is one, then fails the
/// running case with `error` once it ends.
void failCheck(const CheckSite& site, Error error, std::string_view detail) noexcept;
/// Fails a comparison of two values: "... failed: 5 < 3".
void failRelation(const CheckSite& site, Relation relation, const Operand& a,
                  const Operand& b) noexcept;
/// Fails an equality of two strings, shown around their first difference.
void failStrings(const CheckSite& site, std::string_view a, std::string_view b) noexcept;
/// Fails an equality of two ranges that first differ at element `at`.
void failRanges(const CheckSite& site, const RangeOperand& a, const RangeOperand& b,
                std::size_t at) noexcept;
/// Fails an absolute-tolerance comparison, in the words of `expectApproxEqAbs`.
void failApprox(const CheckSite& site, double expected, double actual, double tolerance) noexcept;
void failApprox(const CheckSite& site, float expected, float actual, float tolerance) noexcept;
/// Fails a check with the exception being handled: "threw {type}: {what}" after `prefix`.
void failCurrentException(const CheckSite& site, std::string_view prefix) noexcept;
/// Ends the running case as skipped once it returns, printing the place and `reason`.
void skipCase(const CheckSite& site, std::string_view reason) noexcept;
/// Whether a fatal check failed in the running case (its fixture's constructor, say).
bool caseEnded() noexcept;
/// Notes that the failure just reported ends the running case.
void endCase() noexcept;
/// A negative or NaN tolerance is a mistake in the case, and stops the process.
void refuseTolerance() noexcept;

template <class A, class B>
constexpr bool is_integer_pair = std::is_integral_v<A>&& std::is_integral_v<B> &&
                                 !std::is_same_v<A, bool> && !std::is_same_v<B, bool>;

/// -1, 0 or 1 as `a` is below, equal to or above `b`, by value whatever their signedness.
template <class A, class B>
constexpr int integerOrder(A a, B b) noexcept {
  if constexpr (std::is_signed_v<A> && !std::is_signed_v<B>) {
    if (a < 0) return -1;
    return integerOrder(static_cast<std::make_unsigned_t<A>>(a), b);
  } else if constexpr (!std::is_signed_v<A> && std::is_signed_v<B>) {
    if (b < 0) return 1;
    return integerOrder(a, static_cast<std::make_unsigned_t<B>>(b));
  } else {
    return a < b ? -1 : (b < a ? 1 : 0);
  }
}

template <Relation R, class A, class B>
constexpr bool holds(const A& a, const B& b) {
  if constexpr (R == Relation::eq) return a == b;
  if constexpr (R == Relation::ne) return a != b;
  if constexpr (R == Relation::lt) return a < b;
  if constexpr (R == Relation::le) return a <= b;
  if constexpr (R == Relation::gt) return a > b;
  if constexpr (R == Relation::ge) return a >= b;
}

template <class A, class B>
bool equalValues(const A& a, const B& b);

/// The first element at which two ranges differ, or the shorter length.
template <class A, class B>
std::size_t firstDifference(const A& a, const B& b) {
  std::size_t i = 0;
  auto ia = std::begin(a);
  auto ib = std::begin(b);
  for (; ia != std::end(a) && ib != std::end(b); ++ia, ++ib, ++i) {
    if (!equalValues(*ia, *ib)) break;
  }
  return i;
}

/// Equality as C++ has it, except that integers compare by value across signedness, strings by
/// their text, and two ranges element by element.
template <class A, class B>
bool equalValues(const A& a, const B& b) {
  if constexpr (is_integer_pair<A, B>) {
    return integerOrder(a, b) == 0;
  } else if constexpr (is_string<A> && is_string<B>) {
    return stringOf(a) == stringOf(b);
  } else if constexpr (Range<A> && Range<B>) {
    const std::size_t at = firstDifference(a, b);
    return at == rangeLength(a) && at == rangeLength(b);
  } else {
    static_assert(
        requires { a == b; }, "VESK_CHECK_EQ: these operands cannot be compared");
    return static_cast<bool>(a == b);
  }
}

template <Relation R, class A, class B>
bool relationHolds(const A& a, const B& b) {
  if constexpr (R == Relation::eq) {
    return equalValues(a, b);
  } else if constexpr (R == Relation::ne) {
    return !equalValues(a, b);
  } else if constexpr (is_integer_pair<A, B>) {
    return holds<R>(integerOrder(a, b), 0);
  } else if constexpr (is_string<A> && is_string<B>) {
    return holds<R>(stringOf(a), stringOf(b));
  } else {
    static_assert(
        requires { a < b; }, "VESK_CHECK_LT and the like: operands without an order");
    return static_cast<bool>(holds<R>(a, b));
  }
}

template <class T>
RangeOperand rangeOperandOf(const T& value) noexcept {
  return {&value, rangeLength(value), &printRange<T>};
}

/// Prints the values of a failed `a R b` and fails the case: out of line and cold, so that the
/// passing path is all a case body compiles with its checks inlined.
template <Relation R, class A, class B>
[[gnu::cold, gnu::noinline]] void failRelationOf(const CheckSite& site, const A& a, const B& b) {
  if constexpr (R == Relation::eq && is_string<A> && is_string<B>) {
    failStrings(site, stringOf(a), stringOf(b));
  } else if constexpr (R == Relation::eq && Range<A> && Range<B>) {
    failRanges(site, rangeOperandOf(a), rangeOperandOf(b), firstDifference(a, b));
  } else {
    failRelation(site, R, operandOf(a), operandOf(b));
  }
}

/// Checks `a R b`; on failure prints both values and fails the case. Returns whether it held.
template <Relation R, class A, class B>
bool checkRelation(const CheckSite& site, const A& a, const B& b) {
  if (relationHolds<R>(a, b)) [[likely]] {
    return true;
  }
  failRelationOf<R>(site, a, b);
  return false;
}

template <class E, class A, class T>
bool checkApprox(const CheckSite& site, const E& expected, const A& actual, const T& tolerance) {
  // In single precision when every operand is a float, as expectApproxEqAbs does.
  using F = std::conditional_t<std::is_same_v<E, float> && std::is_same_v<A, float> &&
                                   std::is_same_v<T, float>,
                               float, double>;
  const F e = static_cast<F>(expected), a = static_cast<F>(actual), t = static_cast<F>(tolerance);
  if (!(t >= 0)) refuseTolerance();
  const F difference = e > a ? e - a : a - e;
  if (e == a || difference <= t) [[likely]] {
    return true;
  }
  failApprox(site, e, a, t);
  return false;
}

template <class R>
bool checkOk(const CheckSite& site, const R& result) {
  if (result.has_value()) [[likely]] {
    return true;
  }
  failCheck(site, result.error(), errorName(result.error()));  // "failed: OutOfMemory"
  return false;
}

inline bool checkTruth(const CheckSite& site, bool ok) noexcept {
  if (ok) [[likely]] {
    return true;
  }
  failCheck(site, Error::TestUnexpectedResult, {});
  return false;
}

/// One registered case: filled in at static initialisation, linked in registration order.
struct CaseNode {
  std::string_view name;
  Result<void> (*func)() = nullptr;
  const char* file = nullptr;
  unsigned line = 0;
  std::string_view variant{};  ///< the type as written, for a typed case
  std::size_t row = SIZE_MAX;  ///< the row, for a table-driven case
  CaseNode* next = nullptr;
};

/// Appends `node` to the registered cases.
void registerCase(CaseNode& node) noexcept;

/// The `index`-th entry of a comma-separated list of types as written ("int, std::pair<a, b>").
std::string_view typeAt(std::string_view list, std::size_t index) noexcept;

template <void (*Body)()>
Result<void> caseEntry() {
  Body();
  return {};
}

template <class Fixture>
Result<void> fixtureEntry() {
  Fixture fixture;
  if (!caseEnded()) fixture.veskCaseBody();
  return {};
}

template <class Body, std::size_t Row>
Result<void> rowEntry() {
  Body::run(Body::veskRows()[Row]);
  return {};
}

/// Registers one case at static initialisation.
class CaseRegistration {
 public:
  CaseRegistration(std::string_view name, Result<void> (*func)(), const char* file,
                   unsigned line) noexcept
      : node_{.name = name, .func = func, .file = file, .line = line} {
    registerCase(node_);
  }

 private:
  CaseNode node_;
};

/// Registers one case per type of `Types`, named "{name}<{type as written}>".
template <class Body, class... Types>
class TypedRegistration {
 public:
  TypedRegistration(std::string_view name, std::string_view types, const char* file,
                    unsigned line) noexcept {
    std::size_t i = 0;
    ((nodes_[i] = {name, &caseEntry<&Body::template run<Types>>, file, line, typeAt(types, i)},
      registerCase(nodes_[i]), ++i),
     ...);
  }

 private:
  CaseNode nodes_[sizeof...(Types)];
};

template <class T>
constexpr std::size_t ROW_COUNT = [] {
  if constexpr (std::is_array_v<T>) {
    return std::extent_v<T>;
  } else {
    return std::tuple_size<T>::value;
  }
}();

/// Registers one case per row of a table, named "{name}[{row}]", rows counted from 0.
template <class Body, std::size_t Rows>
class TableRegistration {
 public:
  TableRegistration(std::string_view name, const char* file, unsigned line) noexcept {
    add(name, file, line, std::make_index_sequence<Rows>());
  }

 private:
  // A table of entries and a loop rather than a fold over the rows, which compilers bound in
  // depth (clang at 256).
  template <std::size_t... I>
  void add(std::string_view name, const char* file, unsigned line,
           std::index_sequence<I...>) noexcept {
    static constexpr std::array<Result<void> (*)(), Rows> ENTRIES = {&rowEntry<Body, I>...};
    for (std::size_t i = 0; i < Rows; ++i) {
      nodes_[i] = {name, ENTRIES[i], file, line, {}, i};
      registerCase(nodes_[i]);
    }
  }
  std::array<CaseNode, Rows> nodes_{};
};

}  // namespace cases_detail
}  // namespace vesk

#define VESK_CASES_CAT2_(a, b) a##b
#define VESK_CASES_CAT_(a, b) VESK_CASES_CAT2_(a, b)
#define VESK_CASES_SITE_(text)      \
  ::vesk::cases_detail::CheckSite { \
    __FILE__, __LINE__, text        \
  }
// A failed check records its own place in the error-return trace, which the runner prints after
// the case's result line; a fatal one then leaves the case body, running the destructors of what
// it holds.
#define VESK_CASES_FAILED_(fatal) VESK_CASES_CAT_(VESK_CASES_FAILED_, fatal)()
#define VESK_CASES_FAILED_false() ::vesk::recordErrorReturn(VESK_HERE_PC())
#define VESK_CASES_FAILED_true()               \
  do {                                         \
    ::vesk::recordErrorReturn(VESK_HERE_PC()); \
    ::vesk::cases_detail::endCase();           \
    return;                                    \
  } while (false)

// NOLINTBEGIN(bugprone-macro-parentheses): the arguments are names and types put where only a
// name or a type may stand (a base class, a template parameter, a parameter name).
/// Defines and registers a case: `VESK_CASE("splits words") { ... }`.
#define VESK_CASE(name) VESK_CASE_AS_(name, VESK_CASES_CAT_(vesk_case_, __COUNTER__))
#define VESK_CASE_AS_(name, id)                                                           \
  static void id();                                                                       \
  static const ::vesk::cases_detail::CaseRegistration VESK_CASES_CAT_(id, _registration){ \
      name, &::vesk::cases_detail::caseEntry<&id>, __FILE__, __LINE__};                   \
  static void id()

/// A case whose body is a member of a fresh `Fixture`, made before it and destroyed after it.
#define VESK_CASE_FIXTURE(Fixture, name) \
  VESK_CASE_FIXTURE_AS_(Fixture, name, VESK_CASES_CAT_(vesk_case_, __COUNTER__))
#define VESK_CASE_FIXTURE_AS_(Fixture, name, id)                                          \
  namespace {                                                                             \
  struct id : Fixture {                                                                   \
    void veskCaseBody();                                                                  \
  };                                                                                      \
  }                                                                                       \
  static const ::vesk::cases_detail::CaseRegistration VESK_CASES_CAT_(id, _registration){ \
      name, &::vesk::cases_detail::fixtureEntry<id>, __FILE__, __LINE__};                 \
  void id::veskCaseBody()

/// One case per type: `VESK_CASE_TEMPLATE("sums", T, int, double) { T x{}; ... }`.
#define VESK_CASE_TEMPLATE(name, T, ...) \
  VESK_CASE_TEMPLATE_AS_(name, T, VESK_CASES_CAT_(vesk_case_, __COUNTER__), __VA_ARGS__)
#define VESK_CASE_TEMPLATE_AS_(name, T, id, ...)                                         \
  namespace {                                                                            \
  struct id {                                                                            \
    template <class T>                                                                   \
    static void run();                                                                   \
  };                                                                                     \
  }                                                                                      \
  static const ::vesk::cases_detail::TypedRegistration<id, __VA_ARGS__> VESK_CASES_CAT_( \
      id, _registration){name, #__VA_ARGS__, __FILE__, __LINE__};                        \
  template <class T>                                                                     \
  void id::run()

/// One case per row of `rows`, an array at namespace scope, with each row as `row` in the body:
/// `VESK_CASE_TABLE("counts words", row, samples) { VESK_CHECK_EQ(count(row.text), row.n); }`.
#define VESK_CASE_TABLE(name, row, rows) \
  VESK_CASE_TABLE_AS_(name, row, rows, VESK_CASES_CAT_(vesk_case_, __COUNTER__))
#define VESK_CASE_TABLE_AS_(name, row, rows, id)                                \
  namespace {                                                                   \
  struct id {                                                                   \
    static const auto& veskRows() { return (rows); }                            \
    using Row = std::remove_cvref_t<decltype((rows)[0])>;                       \
    static void run(const Row& row);                                            \
  };                                                                            \
  }                                                                             \
  static const ::vesk::cases_detail::TableRegistration<                         \
      id, ::vesk::cases_detail::ROW_COUNT<std::remove_cvref_t<decltype(rows)>>> \
      VESK_CASES_CAT_(id, _registration){name, __FILE__, __LINE__};             \
  void id::run(const Row& row)
// NOLINTEND(bugprone-macro-parentheses)

#define VESK_CASES_TRUTH_(fatal, macro, ...)                                            \
  do {                                                                                  \
    if (!::vesk::cases_detail::checkTruth(VESK_CASES_SITE_(macro "(" #__VA_ARGS__ ")"), \
                                          static_cast<bool>(__VA_ARGS__)))              \
      VESK_CASES_FAILED_(fatal);                                                        \
  } while (false)
#define VESK_CASES_RELATION_(fatal, macro, relation, a, b)                              \
  do {                                                                                  \
    if (!::vesk::cases_detail::checkRelation<::vesk::cases_detail::Relation::relation>( \
            VESK_CASES_SITE_(macro "(" #a ", " #b ")"), a, b))                          \
      VESK_CASES_FAILED_(fatal);                                                        \
  } while (false)
#define VESK_CASES_APPROX_(fatal, macro, expected, actual, tolerance)                         \
  do {                                                                                        \
    if (!::vesk::cases_detail::checkApprox(                                                   \
            VESK_CASES_SITE_(macro "(" #expected ", " #actual ", " #tolerance ")"), expected, \
            actual, tolerance))                                                               \
      VESK_CASES_FAILED_(fatal);                                                              \
  } while (false)
#define VESK_CASES_THROWS_AS_(fatal, macro, expr, ...)                                  \
  do {                                                                                  \
    const ::vesk::cases_detail::CheckSite vesk_site_ =                                  \
        VESK_CASES_SITE_(macro "(" #expr ", " #__VA_ARGS__ ")");                        \
    bool vesk_failed_ = false;                                                          \
    try {                                                                               \
      static_cast<void>(expr);                                                          \
      ::vesk::cases_detail::failCheck(vesk_site_, ::vesk::Error::TestExpectedException, \
                                      "nothing was thrown");                            \
      vesk_failed_ = true;                                                              \
    } catch (const __VA_ARGS__&) {                                                      \
    } catch (...) {                                                                     \
      ::vesk::cases_detail::failCurrentException(vesk_site_, "threw ");                 \
      vesk_failed_ = true;                                                              \
    }                                                                                   \
    if (vesk_failed_) VESK_CASES_FAILED_(fatal);                                        \
  } while (false)
#define VESK_CASES_NOTHROW_(fatal, macro, ...)                                                 \
  do {                                                                                         \
    bool vesk_failed_ = false;                                                                 \
    try {                                                                                      \
      static_cast<void>(__VA_ARGS__);                                                          \
    } catch (...) {                                                                            \
      ::vesk::cases_detail::failCurrentException(VESK_CASES_SITE_(macro "(" #__VA_ARGS__ ")"), \
                                                 "threw ");                                    \
      vesk_failed_ = true;                                                                     \
    }                                                                                          \
    if (vesk_failed_) VESK_CASES_FAILED_(fatal);                                               \
  } while (false)
#define VESK_CASES_OK_(fatal, macro, ...)                                                          \
  do {                                                                                             \
    if (!::vesk::cases_detail::checkOk(VESK_CASES_SITE_(macro "(" #__VA_ARGS__ ")"), __VA_ARGS__)) \
      VESK_CASES_FAILED_(fatal);                                                                   \
  } while (false)

/// Non-fatal checks: a failure prints the check's place, its text and the values, and the case
/// goes on; it fails when it ends.
#define VESK_CHECK(...) VESK_CASES_TRUTH_(false, "VESK_CHECK", __VA_ARGS__)
#define VESK_CHECK_EQ(a, b) VESK_CASES_RELATION_(false, "VESK_CHECK_EQ", eq, a, b)
#define VESK_CHECK_NE(a, b) VESK_CASES_RELATION_(false, "VESK_CHECK_NE", ne, a, b)
#define VESK_CHECK_LT(a, b) VESK_CASES_RELATION_(false, "VESK_CHECK_LT", lt, a, b)
#define VESK_CHECK_LE(a, b) VESK_CASES_RELATION_(false, "VESK_CHECK_LE", le, a, b)
#define VESK_CHECK_GT(a, b) VESK_CASES_RELATION_(false, "VESK_CHECK_GT", gt, a, b)
#define VESK_CHECK_GE(a, b) VESK_CASES_RELATION_(false, "VESK_CHECK_GE", ge, a, b)
#define VESK_CHECK_APPROX(expected, actual, tolerance) \
  VESK_CASES_APPROX_(false, "VESK_CHECK_APPROX", expected, actual, tolerance)
#define VESK_CHECK_THROWS_AS(expr, ...) \
  VESK_CASES_THROWS_AS_(false, "VESK_CHECK_THROWS_AS", expr, __VA_ARGS__)
#define VESK_CHECK_NOTHROW(...) VESK_CASES_NOTHROW_(false, "VESK_CHECK_NOTHROW", __VA_ARGS__)
#define VESK_CHECK_OK(...) VESK_CASES_OK_(false, "VESK_CHECK_OK", __VA_ARGS__)

/// Fatal checks: the same, and a failure ends the case at once.
#define VESK_REQUIRE(...) VESK_CASES_TRUTH_(true, "VESK_REQUIRE", __VA_ARGS__)
#define VESK_REQUIRE_EQ(a, b) VESK_CASES_RELATION_(true, "VESK_REQUIRE_EQ", eq, a, b)
#define VESK_REQUIRE_NE(a, b) VESK_CASES_RELATION_(true, "VESK_REQUIRE_NE", ne, a, b)
#define VESK_REQUIRE_LT(a, b) VESK_CASES_RELATION_(true, "VESK_REQUIRE_LT", lt, a, b)
#define VESK_REQUIRE_LE(a, b) VESK_CASES_RELATION_(true, "VESK_REQUIRE_LE", le, a, b)
#define VESK_REQUIRE_GT(a, b) VESK_CASES_RELATION_(true, "VESK_REQUIRE_GT", gt, a, b)
#define VESK_REQUIRE_GE(a, b) VESK_CASES_RELATION_(true, "VESK_REQUIRE_GE", ge, a, b)
#define VESK_REQUIRE_APPROX(expected, actual, tolerance) \
  VESK_CASES_APPROX_(true, "VESK_REQUIRE_APPROX", expected, actual, tolerance)
#define VESK_REQUIRE_THROWS_AS(expr, ...) \
  VESK_CASES_THROWS_AS_(true, "VESK_REQUIRE_THROWS_AS", expr, __VA_ARGS__)
#define VESK_REQUIRE_NOTHROW(...) VESK_CASES_NOTHROW_(true, "VESK_REQUIRE_NOTHROW", __VA_ARGS__)
/// Yields the value of a `vesk::Result<T>` that holds one; otherwise fails and ends the case.
#define VESK_REQUIRE_OK(...)                                                                  \
  (__extension__({                                                                            \
    auto&& vesk_result_ = (__VA_ARGS__);                                                      \
    if (!::vesk::cases_detail::checkOk(VESK_CASES_SITE_("VESK_REQUIRE_OK(" #__VA_ARGS__ ")"), \
                                       vesk_result_))                                         \
      VESK_CASES_FAILED_(true);                                                               \
    *std::move(vesk_result_);                                                                 \
  }))

/// Ends the case as skipped: `VESK_SKIP("needs a terminal")`.
#define VESK_SKIP(reason)                                                  \
  do {                                                                     \
    ::vesk::cases_detail::skipCase(VESK_CASES_SITE_("VESK_SKIP"), reason); \
    return;                                                                \
  } while (false)
