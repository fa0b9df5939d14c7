// The first lines of the reports a harness executable writes when it stops or faults, spelled
// once: the stop path writes them and vesk-run recognises them in what a server wrote, to name a
// crash by its report. Changing a form here changes both sides together.
#pragma once

#include <optional>
#include <string_view>

namespace vesk {

/// A stop report begins "thread {tid} panic: {message}".
inline constexpr std::string_view PANIC_LINE_START = "thread ";
inline constexpr std::string_view PANIC_LINE_MIDDLE = " panic: ";
/// A stop raised while a stop report is being written.
inline constexpr std::string_view NESTED_PANIC_LINE = "Panicked during a panic. Aborting.";
/// Fault reports begin with one of these, then the address in hexadecimal and a line end.
inline constexpr std::string_view SEGV_LINE_START = "Segmentation fault at address 0x";
inline constexpr std::string_view ILL_LINE_START = "Illegal instruction at address 0x";
inline constexpr std::string_view BUS_LINE_START = "Bus error at address 0x";
inline constexpr std::string_view FPE_LINE_START = "Arithmetic exception at address 0x";
inline constexpr std::string_view UNKNOWN_SIGNAL_LINE_START = "Unknown signal at address 0x";
/// A segmentation fault for which the system gives no address.
inline constexpr std::string_view NO_ADDRESS_LINE =
    "General protection exception (no address available)";

/// A case that called exit() while it ran: "case {name} called exit({status})".
inline constexpr std::string_view EXIT_LINE_START = "case ";
inline constexpr std::string_view EXIT_LINE_MIDDLE = " called exit(";

/// The first line of a stop or fault report in `output` (without its line end), or nothing.
std::optional<std::string_view> findReportLine(std::string_view output) noexcept;

}  // namespace vesk
