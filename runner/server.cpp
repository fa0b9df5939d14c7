#include "server.hpp"

#include "vesk_base.hpp"

namespace vesk {

Result<void> mainServer(std::span<const TestCase>, std::span<std::byte>) noexcept {
  // Build-driver mode is being brought up; until then the mode refuses to start.
  panic("build-driver mode is not available in this build");
}

}  // namespace vesk
