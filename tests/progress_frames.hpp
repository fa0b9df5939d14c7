// Shared by the progress tests: decoding of the frames a run sends to its parent process, and
// code points counted independently of the formatter.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::testing {

struct DecodedNode {
  std::uint32_t parent;
  std::uint64_t completed;
  std::uint64_t estimated_total;
  std::string name;
};

// Each frame: a 32-bit body length, a 32-bit node count, then per node its parent (32 bits),
// completed and estimated counts (64 bits each) and a length-prefixed name; all little-endian.
// Checks that each frame's length covers exactly the nodes it lists.
inline std::vector<std::vector<DecodedNode>> decodeFrames(std::string_view bytes) {
  std::size_t at = 0;
  const auto read = [&](int width) {
    std::uint64_t value = 0;
    for (int k = 0; k < width; ++k)
      value |= std::uint64_t{static_cast<unsigned char>(bytes.at(at++))} << (8 * k);
    return value;
  };
  std::vector<std::vector<DecodedNode>> frames;
  while (at < bytes.size()) {
    const std::size_t body_length = read(4);
    const std::size_t end = at + body_length;
    std::vector<DecodedNode> nodes(read(4));
    for (DecodedNode& node : nodes) {
      node.parent = static_cast<std::uint32_t>(read(4));
      node.completed = read(8);
      node.estimated_total = read(8);
      const std::size_t len = read(4);
      node.name = std::string(bytes.substr(at, len));
      at += len;
    }
    EXPECT_EQ(at, end) << "frame length and contents disagree";
    frames.push_back(nodes);
  }
  return frames;
}

// Every byte that is not a UTF-8 continuation byte.
inline std::size_t codePoints(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s)
    n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace vesk::testing
