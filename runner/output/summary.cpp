#include "summary.hpp"

namespace vesk {

void writeSummary(Writer& out, const RunCounts& counts) noexcept {
  if (counts.passed == counts.selected) {
    out.put("All ").dec(counts.passed).put(" tests passed.\n");
  } else {
    out.dec(counts.passed).put(" passed; ").dec(counts.skipped).put(" skipped; ");
    out.dec(counts.failed).put(" failed");
    if (counts.crashed != 0 || counts.timed_out != 0) {
      out.put("; ").dec(counts.crashed).put(" crashed; ").dec(counts.timed_out).put(" timed out");
    }
    out.put(".\n");
  }
  if (counts.log_errors != 0) out.dec(counts.log_errors).put(" errors were logged.\n");
  if (counts.flaky != 0) out.dec(counts.flaky).put(" tests were flaky (passed on a retry).\n");
  if (counts.leaked != 0) out.dec(counts.leaked).put(" tests leaked memory.\n");
}

}  // namespace vesk
