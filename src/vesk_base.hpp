// Base layer shared by the libraries and the harness: error values and the error-return trace,
// process stops for broken invariants, checked counter arithmetic, the allocator interface and the
// growable array. It depends on nothing but the standard library; the harness plugs its own stop
// report in through `setPanicHandler`.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace vesk {

// ---------------------------------------------------------------------------------------------
// Error values

/// Every error a library operation or a case can return; `errorName` gives its printed name.
enum class Error : std::uint8_t {
  OutOfMemory,
  TestUnexpectedResult,
  TestExpectedApproxEqAbs,
  SkipCase,  ///< the distinguished skip error: the case declares itself skipped
  // Harness-internal failures of the build-driver streams.
  InputOutput,
  BrokenPipe,
  StreamTooLong,
  Unexpected,
  // Failures of reading the executable's own debug information for traces.
  MissingDebugInfo,
  InvalidDebugInfo,
};

/// The printed name of `e`, for example "OutOfMemory".
std::string_view errorName(Error e) noexcept;

#if defined(__clang__) && __clang_major__ < 16
namespace detail {

// Clang before 16 cannot choose between the defaulted and the constrained destructors (and move
// constructors) that libstdc++'s std::expected declares, so std::expected of a type with a
// destructor of its own does not compile with it. Clang builds this code only for static analysis
// and fuzzing; for such value types it sees this stand-in, which has the part of std::expected's
// interface that the code uses. The product's compiler always uses std::expected.
template <class T, class E>
class ExpectedStandIn {
 public:
  using value_type = T;
  using error_type = E;

  ExpectedStandIn(T&& value) noexcept : value_(std::move(value)) {}
  template <class G>
  ExpectedStandIn(std::unexpected<G> error) noexcept : error_(std::move(error).error()) {}

  bool has_value() const noexcept { return value_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  T& operator*() & noexcept { return *value_; }
  const T& operator*() const& noexcept { return *value_; }
  T&& operator*() && noexcept { return *std::move(value_); }
  T* operator->() noexcept { return &*value_; }
  const T* operator->() const noexcept { return &*value_; }
  T& value() & { return value_.value(); }
  const T& value() const& { return value_.value(); }
  T&& value() && { return std::move(value_).value(); }
  const E& error() const noexcept { return error_; }

 private:
  std::optional<T> value_;
  E error_{};
};

}  // namespace detail

/// Success with a value of type T, or one error value.
template <class T = void>
using Result = std::conditional_t<std::is_void_v<T> || std::is_trivially_destructible_v<T>,
                                  std::expected<T, Error>, detail::ExpectedStandIn<T, Error>>;
#else
/// Success with a value of type T, or one error value.
template <class T = void>
using Result = std::expected<T, Error>;
#endif

// ---------------------------------------------------------------------------------------------
// Error-return trace

/// Where an error travelled: the addresses of the places that returned or passed it up, oldest
/// first. `index` keeps counting past the 32 slots.
struct ErrorTrace {
  std::uint64_t index = 0;
  std::array<std::uint64_t, 32> instruction_addresses{};
};

/// The trace that error returns on this thread are recorded in, or null (then nothing is recorded).
ErrorTrace* activeErrorTrace() noexcept;
/// Installs `trace` as this thread's active trace; returns the one installed before.
ErrorTrace* setActiveErrorTrace(ErrorTrace* trace) noexcept;
/// Records one error return at `address` in the active trace, if there is one.
void recordErrorReturn(std::uint64_t address) noexcept;

}  // namespace vesk

/// The address of the instruction right after this point, as a return address would be. The line
/// number in the assembly text keeps the compiler from merging two sites into one instruction.
#define VESK_HERE_PC()                                                                          \
  (__extension__({                                                                              \
    std::uint64_t vesk_pc_;                                                                     \
    asm volatile("lea 0(%%rip), %0 # error return, line %c1" : "=r"(vesk_pc_) : "i"(__LINE__)); \
    vesk_pc_;                                                                                   \
  }))

/// An error result for `err` (any `Result<T>`), recording this statement in the error-return trace.
#define VESK_FAIL(err) \
  (::vesk::recordErrorReturn(VESK_HERE_PC()), ::std::unexpected(::vesk::Error{err}))

/// Evaluates `expr` (a `Result<T>`); on error records this statement in the error-return trace and
/// returns the error from the enclosing function, otherwise yields the value.
#define VESK_TRY(expr)                                \
  (__extension__({                                    \
    auto&& vesk_result_ = (expr);                     \
    if (!vesk_result_.has_value()) {                  \
      ::vesk::recordErrorReturn(VESK_HERE_PC());      \
      return ::std::unexpected(vesk_result_.error()); \
    }                                                 \
    *std::move(vesk_result_);                         \
  }))

namespace vesk {

// ---------------------------------------------------------------------------------------------
// Stops

/// Receives every stop: the message, the error-return trace being handled (or null), and the
/// frame pointer and return address of the place that called the stop. It must not return.
using PanicHandler = void (*)(std::string_view message, const ErrorTrace* trace,
                              std::uintptr_t frame, std::uintptr_t return_address);

/// Replaces the stop report; the default prints "thread {} panic: {message}" and aborts.
void setPanicHandler(PanicHandler handler) noexcept;

/// Stops the process: a broken invariant, never an error result.
[[noreturn, gnu::noinline, gnu::cold]] void panic(std::string_view message) noexcept;
/// Stops the process while an error is being handled; the report includes `trace`.
[[noreturn, gnu::noinline, gnu::cold]] void panicWithTrace(std::string_view message,
                                                           const ErrorTrace* trace) noexcept;
/// Stops with "index out of bounds: index {index}, len {len}".
[[noreturn, gnu::noinline, gnu::cold]] void panicOutOfBounds(std::uint64_t index,
                                                             std::uint64_t len) noexcept;
/// Stops with "reached unreachable code".
[[noreturn, gnu::noinline, gnu::cold]] void unreachable() noexcept;

/// `a + b`, stopping with "integer overflow" when the sum does not fit in T.
template <class T>
constexpr T checkedAdd(T a, T b) noexcept {
  T sum;
  if (__builtin_add_overflow(a, b, &sum)) panic("integer overflow");
  return sum;
}

/// Adds one to `counter`, stopping with "integer overflow" at the largest value of T.
template <class T>
constexpr void checkedIncrement(T& counter) noexcept {
  counter = checkedAdd(counter, T{1});
}

/// `value` as To, stopping with "integer cast truncated bits" when it does not fit.
template <class To, class From>
constexpr To checkedCast(From value) noexcept {
  if (!std::in_range<To>(value)) panic("integer cast truncated bits");
  return static_cast<To>(value);
}

/// The value inside `opt`, stopping with "attempt to use null value" when it is absent.
template <class T>
constexpr decltype(auto) unwrap(T&& opt) noexcept {
  if (!opt.has_value()) panic("attempt to use null value");
  return *std::forward<T>(opt);
}

/// Stops with "index out of bounds" unless `index` < `len`.
constexpr void checkIndex(std::uint64_t index, std::uint64_t len) noexcept {
  if (index >= len) panicOutOfBounds(index, len);
}

// ---------------------------------------------------------------------------------------------
// Allocator interface

/// The three operations behind an `Allocator`. Alignments are base-2 logarithms; `ret_addr` is the
/// return address of the caller that asked, used by checking allocators for their records.
struct AllocatorVTable {
  /// A block of `len` bytes aligned to 2^`log2_ptr_align`, or null when no memory is available.
  void* (*alloc)(void* ctx, std::size_t len, std::uint8_t log2_ptr_align, std::uintptr_t ret_addr);
  /// Whether `old_mem` could be grown or shrunk to `new_size` bytes without moving it.
  bool (*resize)(void* ctx, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
                 std::size_t new_size, std::uintptr_t ret_addr);
  /// Returns `old_mem` (exactly as it was allocated or last resized) to the allocator.
  void (*free)(void* ctx, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
               std::uintptr_t ret_addr);
};

/// An allocator: its state plus its operations. A small value passed by value; it owns nothing.
struct Allocator {
  void* ptr = nullptr;
  const AllocatorVTable* vtable = nullptr;

  /// Room for `n` objects of T, or "OutOfMemory". The objects are not constructed.
  template <class T>
  [[nodiscard, gnu::noinline]] Result<std::span<T>> allocate(std::size_t n) const noexcept {
    static_assert(std::is_trivially_copyable_v<T>, "allocators hand out raw storage for records");
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T))
      return VESK_FAIL(Error::OutOfMemory);
    void* p = vtable->alloc(ptr, n * sizeof(T), log2Align<T>(),
                            reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
    if (p == nullptr) return VESK_FAIL(Error::OutOfMemory);
    return std::span<T>(static_cast<T*>(p), n);
  }

  /// Tries to change the length of `block` to `n` objects in place; false leaves it as it was.
  template <class T>
  [[nodiscard, gnu::noinline]] bool resizeInPlace(std::span<T> block,
                                                  std::size_t n) const noexcept {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) return false;
    return vtable->resize(ptr, std::as_writable_bytes(block), log2Align<T>(), n * sizeof(T),
                          reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
  }

  /// Returns `block`, as obtained from `allocate` (or last resized), to the allocator.
  template <class T>
  [[gnu::noinline]] void release(std::span<T> block) const noexcept {
    if (block.data() == nullptr) return;
    vtable->free(ptr, std::as_writable_bytes(block), log2Align<T>(),
                 reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
  }

  template <class T>
  static constexpr std::uint8_t log2Align() noexcept {
    return static_cast<std::uint8_t>(std::countr_zero(alignof(T)));
  }
};

/// An allocator backed by the C library's aligned allocation; never checks anything.
Allocator mallocAllocator() noexcept;

// ---------------------------------------------------------------------------------------------
// Growable array

/// A contiguous, resizable array of trivially copyable records that keeps the allocator it was
/// created with. Creating one allocates nothing; an append that cannot obtain memory returns
/// "OutOfMemory" and leaves the array as it was; growth may move every element, so references to
/// elements stay valid only until the next append. The array is itself a plain record (so that
/// records holding one can be stored in another): exactly one copy owns the block and releases it
/// with `deinit`; the owning types built on it are move-only and release it for their callers.
template <class T>
class ArrayList {
  static_assert(std::is_trivially_copyable_v<T>, "ArrayList holds trivially copyable records");

 public:
  /// An empty array bound to `allocator`; allocates nothing.
  static ArrayList init(Allocator allocator) noexcept {
    ArrayList list;
    list.allocator_ = allocator;
    return list;
  }

  /// Frees the whole block; the array is empty afterwards and may be used again.
  void deinit() noexcept {
    allocator_.release(block_);
    block_ = {};
    len_ = 0;
  }

  /// Hands over the block and its elements, leaving this array empty and bound to the same
  /// allocator: how the types that own arrays move.
  ArrayList take() noexcept { return std::exchange(*this, init(allocator_)); }

  /// Appends `value`, growing the block when it is full.
  [[nodiscard]] Result<void> append(T value) noexcept {
    if (len_ == block_.size()) VESK_TRY(grow(len_ + 1));
    block_[len_++] = value;
    return {};
  }

  /// Makes room for at least `capacity` elements in total.
  [[nodiscard]] Result<void> ensureTotalCapacity(std::size_t capacity) noexcept {
    if (capacity <= block_.size()) return {};
    VESK_TRY(grow(capacity));
    return {};
  }

  std::span<T> items() noexcept { return block_.first(len_); }
  std::span<const T> items() const noexcept { return std::span<const T>(block_.data(), len_); }
  std::size_t size() const noexcept { return len_; }
  std::size_t capacity() const noexcept { return block_.size(); }
  bool empty() const noexcept { return len_ == 0; }
  Allocator allocator() const noexcept { return allocator_; }
  T& operator[](std::size_t i) noexcept {
    checkIndex(i, len_);
    return block_[i];
  }
  const T& operator[](std::size_t i) const noexcept {
    checkIndex(i, len_);
    return block_[i];
  }
  T* begin() noexcept { return block_.data(); }
  T* end() noexcept { return block_.data() + len_; }
  const T* begin() const noexcept { return block_.data(); }
  const T* end() const noexcept { return block_.data() + len_; }

 private:
  // Grows geometrically (at least to `minimum`): first in place, then by moving to a new block.
  Result<void> grow(std::size_t minimum) noexcept {
    std::size_t target = block_.size() < 8 ? 8 : block_.size() + block_.size() / 2;
    if (target < minimum) target = minimum;
    if (block_.data() != nullptr && allocator_.resizeInPlace(block_, target)) {
      block_ = std::span<T>(block_.data(), target);
      return {};
    }
    std::span<T> fresh = VESK_TRY(allocator_.template allocate<T>(target));
    if (len_ != 0) std::memcpy(fresh.data(), block_.data(), len_ * sizeof(T));
    allocator_.release(block_);
    block_ = fresh;
    return {};
  }

  Allocator allocator_;
  std::span<T> block_;
  std::size_t len_ = 0;
};

}  // namespace vesk
