#include "symbolize.hpp"

namespace vesk {

void printSourceLocation(Writer& out, std::uint64_t address, AddressKind) noexcept {
  out.put("?\?\?:?:?: 0x").hex(address).put(" in ?\?\? (?\?\?)\n");
}

void printErrorTrace(Writer& out, const ErrorTrace& trace) noexcept {
  const std::uint64_t shown =
      std::min<std::uint64_t>(trace.index, trace.instruction_addresses.size());
  for (std::uint64_t i = 0; i < shown; ++i) {
    printSourceLocation(out, trace.instruction_addresses[i], AddressKind::return_address);
  }
  if (trace.index > trace.instruction_addresses.size()) {
    out.put("(").dec(trace.index - trace.instruction_addresses.size());
    out.put(" additional stack frames skipped...)\n");
  }
}

void printStackTrace(Writer& out, std::span<const std::uint64_t> addresses,
                     bool first_is_exact) noexcept {
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const bool exact = i == 0 && first_is_exact;
    printSourceLocation(out, addresses[i],
                        exact ? AddressKind::exact : AddressKind::return_address);
  }
}

void printAddressRecord(Writer& out, std::span<const std::uint64_t> addresses) noexcept {
  out.put("\n");
  printStackTrace(out, addresses);
}

}  // namespace vesk
