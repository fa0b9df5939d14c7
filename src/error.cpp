#include <vesk/error.hpp>

#include <limits>

namespace vesk {

std::string_view errorName(Error e) noexcept {
  switch (e) {
    case Error::OutOfMemory:
      return "OutOfMemory";
    case Error::TestUnexpectedResult:
      return "TestUnexpectedResult";
    case Error::TestExpectedApproxEqAbs:
      return "TestExpectedApproxEqAbs";
    case Error::TestExpectedEqual:
      return "TestExpectedEqual";
    case Error::UncaughtException:
      return "UncaughtException";
    case Error::SkipCase:
      return "SkipCase";
    case Error::InputOutput:
      return "InputOutput";
    case Error::BrokenPipe:
      return "BrokenPipe";
    case Error::StreamTooLong:
      return "StreamTooLong";
    case Error::Unexpected:
      return "Unexpected";
    case Error::MissingDebugInfo:
      return "MissingDebugInfo";
    case Error::InvalidDebugInfo:
      return "InvalidDebugInfo";
    case Error::TestExpectedRelation:
      return "TestExpectedRelation";
    case Error::TestExpectedException:
      return "TestExpectedException";
  }
  return "Unexpected";
}

namespace {

thread_local ErrorTrace* active_trace = nullptr;

}  // namespace

ErrorTrace* activeErrorTrace() noexcept {
  return active_trace;
}

ErrorTrace* setActiveErrorTrace(ErrorTrace* trace) noexcept {
  return std::exchange(active_trace, trace);
}

void recordErrorReturn(std::uint64_t address) noexcept {
  ErrorTrace* trace = active_trace;
  if (trace == nullptr) return;
  if (trace->index < trace->instruction_addresses.size()) {
    trace->instruction_addresses[trace->index] = address;
  }
  // Keeps counting past the slots so the report can say how many were skipped.
  if (trace->index != std::numeric_limits<std::uint64_t>::max()) ++trace->index;
}

std::uint64_t returnAddressOfThisCall(int line) noexcept {
  // The line reaches the call site as an argument the compiler cannot drop: this definition lives
  // in a translation unit of its own.
  static_cast<void>(line);
  return reinterpret_cast<std::uintptr_t>(
      __builtin_extract_return_addr(__builtin_return_address(0)));
}

}  // namespace vesk
