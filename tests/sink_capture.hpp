// Collects what the harness writes to its error sink, in-process: while a `SinkCapture` lives the
// sink is a memory file, and `take` returns what was written to it so far.
#pragma once

#include <string>

namespace vesk::testing {

class SinkCapture {
 public:
  SinkCapture();
  ~SinkCapture();
  SinkCapture(const SinkCapture&) = delete;
  SinkCapture& operator=(const SinkCapture&) = delete;

  /// What was written since the capture began or since the last `take`.
  std::string take();

 private:
  int fd_;
  int previous_;
};

}  // namespace vesk::testing
