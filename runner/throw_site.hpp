// Where the exception being handled was thrown from: every throw on a thread notes the first
// place in the executable's own code on its way (the `throw`, or the call into the standard
// library that threw), so that a case that lets an exception escape names that place. Rethrowing
// keeps the place of the original throw.
#pragma once

#include <cstdint>
#include <span>

namespace vesk {

/// Where the last exception thrown on this thread came from, as return addresses looked up as error
/// returns are, innermost first: the call of the `throw`, or for a throw inside a shared library
/// the executable's call into it and the call before (the standard template that threw and the
/// code that used it). Empty when no throw was seen.
std::span<const std::uint64_t> lastThrowSites() noexcept;

}  // namespace vesk
