// The registered cases of the two libraries, each table in its module's declaration order. They
// live beside their modules but outside the library targets: they depend on the harness.
#pragma once

#include <span>

#include <vesk/vesk_harness.hpp>

namespace vesk {

/// The cases of the entity-component layer.
std::span<const TestCase> ecsCases() noexcept;
/// The cases of the projective kernel.
std::span<const TestCase> kernelCases() noexcept;

}  // namespace vesk
