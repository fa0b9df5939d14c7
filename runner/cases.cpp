#include <vesk/cases.hpp>
#include <vesk/vesk_harness.hpp>

#include <cxxabi.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include <vesk/log.hpp>
#include <vesk/panic.hpp>

#include "case_verdict.hpp"
#include "escape.hpp"
#include "stderr_lock.hpp"
#include "writer.hpp"

namespace vesk {

namespace {

// How much of two differing strings or ranges a message shows: this many bytes or elements before
// the first difference, and as many from it on (as expectEqual does).
constexpr std::size_t BYTES_AROUND = 16;
constexpr std::size_t ELEMENTS_AROUND = 3;

constexpr std::string_view CUT = "...";

}  // namespace

ValueText& ValueText::put(std::string_view text) noexcept {
  if (cut_) return *this;
  const std::size_t room = sizeof buf_ - CUT.size() - len_;
  if (text.size() > room) {
    std::memcpy(buf_ + len_, text.data(), room);
    std::memcpy(buf_ + len_ + room, CUT.data(), CUT.size());
    len_ = sizeof buf_;
    cut_ = true;
    return *this;
  }
  std::memcpy(buf_ + len_, text.data(), text.size());
  len_ += text.size();
  return *this;
}

ValueText& ValueText::putUnsigned(std::uint64_t value) noexcept {
  char digits[20];
  std::size_t n = 0;
  do {
    digits[sizeof digits - 1 - n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return put(std::string_view(digits + sizeof digits - n, n));
}

ValueText& ValueText::putSigned(std::int64_t value) noexcept {
  if (value >= 0) return putUnsigned(static_cast<std::uint64_t>(value));
  put('-');
  return putUnsigned(0 - static_cast<std::uint64_t>(value));
}

ValueText& ValueText::putFloat(double value) noexcept {
  char buf[32];
  return put(formatFloat(buf, value));
}

ValueText& ValueText::putFloat(float value) noexcept {
  char buf[32];
  return put(formatFloat(buf, value));
}

ValueText& ValueText::putChar(char value) noexcept {
  put('\'');
  putEscaped(*this, std::string_view(&value, 1), '\'');
  return put('\'');
}

ValueText& ValueText::putQuoted(std::string_view bytes) noexcept {
  put('"');
  putEscaped(*this, bytes, '"');
  return put('"');
}

ValueText& ValueText::putPointer(std::uintptr_t address) noexcept {
  if (address == 0) return put("null");
  constexpr std::string_view DIGITS = "0123456789abcdef";
  char text[16];
  std::size_t n = 0;
  do {
    text[sizeof text - 1 - n++] = DIGITS[address & 0xf];
    address >>= 4;
  } while (address != 0);
  return put("0x").put(std::string_view(text + sizeof text - n, n));
}

ValueText& ValueText::putBytes(const void* data, std::size_t size) noexcept {
  constexpr std::string_view DIGITS = "0123456789abcdef";
  putUnsigned(size).put(size == 1 ? " byte:" : " bytes:");
  const auto* bytes = static_cast<const unsigned char*>(data);
  put('{');
  for (std::size_t i = 0; i < size; ++i) {
    put(i == 0 ? "" : " ").put(DIGITS[bytes[i] >> 4]).put(DIGITS[bytes[i] & 0xf]);
  }
  return put('}');
}

ValueText& ValueText::putStreamed(void (*write)(std::ostream&, const void*),
                                  const void* value) noexcept {
  try {
    std::ostringstream stream;
    write(stream, value);
    return put(stream.view());
  } catch (...) {
    return put("(operator<< threw)");
  }
}

namespace cases_detail {

namespace {

// The check's file as given to the compiler, or relative to the working directory when it is
// under it: the form a developer's tools open, without the checkout's own place.
std::string_view shownFile(const char* file) noexcept {
  static char cwd[4096];
  static const std::size_t CWD_LEN = ::getcwd(cwd, sizeof cwd) != nullptr ? std::strlen(cwd) : 0;
  const std::string_view path(file);
  if (CWD_LEN > 0 && path.size() > CWD_LEN && path.starts_with(std::string_view(cwd, CWD_LEN)) &&
      path[CWD_LEN] == '/') {
    return path.substr(CWD_LEN + 1);
  }
  return path;
}

// "{file}:{line}: {text} failed", then what `detail` writes after ": ", then the line end, in one
// piece under the standard-error lock.
template <class Detail>
void printFailure(const CheckSite& site, std::string_view verb, const Detail& detail) noexcept {
  LockedStderr locked;
  Writer& out = locked.out;
  out.put(shownFile(site.file)).put(':').dec(site.line).put(": ").put(site.text).put(verb);
  detail(out);
  out.put('\n');
}

std::string_view relationText(Relation relation) noexcept {
  switch (relation) {
    case Relation::eq:
      return " == ";
    case Relation::ne:
      return " != ";
    case Relation::lt:
      return " < ";
    case Relation::le:
      return " <= ";
    case Relation::gt:
      return " > ";
    case Relation::ge:
      return " >= ";
  }
  return " ? ";
}

void putStringWindow(ValueText& out, std::string_view bytes, std::size_t at) noexcept {
  const std::size_t first = at > BYTES_AROUND ? at - BYTES_AROUND : 0;
  const std::size_t last = std::min(bytes.size(), at + BYTES_AROUND);
  if (first > 0) out.put(CUT);
  out.putQuoted(bytes.substr(first, last - first));
  if (last < bytes.size()) out.put(CUT);
}

void putRangeWindow(ValueText& out, const RangeOperand& range, std::size_t at) noexcept {
  const std::size_t first = at > ELEMENTS_AROUND ? at - ELEMENTS_AROUND : 0;
  range.print(out, range.value, first, at + ELEMENTS_AROUND);
}

// ", differing at {unit} {at} (lengths {a} and {b})".
void putDifference(Writer& out, std::string_view unit, std::size_t at, std::size_t a,
                   std::size_t b) noexcept {
  out.put(", differing at ").put(unit).put(' ').dec(at);
  out.put(" (lengths ").dec(a).put(" and ").dec(b).put(')');
}

}  // namespace

void failCheck(const CheckSite& site, Error error, std::string_view detail) noexcept {
  caseVerdictCheckFailed(error);
  printFailure(site, " failed", [&](Writer& out) {
    if (!detail.empty()) out.put(": ").put(detail);
  });
}

void failRelation(const CheckSite& site, Relation relation, const Operand& a,
                  const Operand& b) noexcept {
  caseVerdictCheckFailed(relation == Relation::eq ? Error::TestExpectedEqual
                                                  : Error::TestExpectedRelation);
  ValueText left, right;
  a.print(left, a.value);
  b.print(right, b.value);
  printFailure(site, " failed: ", [&](Writer& out) {
    out.put(left.view()).put(relationText(relation)).put(right.view());
  });
}

void failStrings(const CheckSite& site, std::string_view a, std::string_view b) noexcept {
  caseVerdictCheckFailed(Error::TestExpectedEqual);
  const std::size_t common = std::min(a.size(), b.size());
  std::size_t at = 0;
  while (at < common && a[at] == b[at])
    ++at;
  ValueText left, right;
  putStringWindow(left, a, at);
  putStringWindow(right, b, at);
  printFailure(site, " failed: ", [&](Writer& out) {
    out.put(left.view()).put(" == ").put(right.view());
    putDifference(out, "byte", at, a.size(), b.size());
  });
}

void failRanges(const CheckSite& site, const RangeOperand& a, const RangeOperand& b,
                std::size_t at) noexcept {
  caseVerdictCheckFailed(Error::TestExpectedEqual);
  ValueText left, right;
  putRangeWindow(left, a, at);
  putRangeWindow(right, b, at);
  printFailure(site, " failed: ", [&](Writer& out) {
    out.put(left.view()).put(" == ").put(right.view());
    putDifference(out, "index", at, a.length, b.length);
  });
}

template <class F>
void failApproxIn(const CheckSite& site, F expected, F actual, F tolerance) noexcept {
  caseVerdictCheckFailed(Error::TestExpectedApproxEqAbs);
  printFailure(site, " failed: ", [&](Writer& out) {
    out.put("actual ").flt(actual).put(", not within absolute tolerance ").flt(tolerance);
    out.put(" of expected ").flt(expected);
  });
}

void failApprox(const CheckSite& site, double expected, double actual, double tolerance) noexcept {
  failApproxIn(site, expected, actual, tolerance);
}

void failApprox(const CheckSite& site, float expected, float actual, float tolerance) noexcept {
  failApproxIn(site, expected, actual, tolerance);
}

void failCurrentException(const CheckSite& site, std::string_view prefix) noexcept {
  caseVerdictCheckFailed(Error::TestExpectedException);
  const char* what = nullptr;
  const std::type_info* type = nullptr;
  try {
    throw;
  } catch (const std::exception& e) {
    what = e.what();
    type = &typeid(e);
  } catch (...) {
    type = abi::__cxa_current_exception_type();
  }
  int status = 0;
  // Allocates through malloc, on the case's own thread: never on a crash path.
  char* demangled =
      type != nullptr ? abi::__cxa_demangle(type->name(), nullptr, nullptr, &status) : nullptr;
  printFailure(site, " failed: ", [&](Writer& out) {
    out.put(prefix);
    if (type == nullptr) {
      out.put("an exception of unknown type");
    } else {
      out.put(demangled != nullptr ? demangled : type->name());
    }
    if (what != nullptr && *what != '\0') out.put(": ").put(what);
  });
  std::free(demangled);
}

void skipCase(const CheckSite& site, std::string_view reason) noexcept {
  caseVerdictSkip();
  printFailure(site, ": ", [&](Writer& out) { out.put(reason); });
}

bool caseEnded() noexcept {
  return caseVerdictEnded();
}

void endCase() noexcept {
  caseVerdictEnd();
}

void refuseTolerance() noexcept {
  unreachable();
}

namespace {

// The registered cases: linked at static initialisation, turned into a table on first use.
struct Registry {
  CaseNode* head = nullptr;
  CaseNode* tail = nullptr;
  std::vector<std::string> names;
  std::vector<TestCase> table;
  bool built = false;
};

Registry& registry() noexcept {
  static Registry r;
  return r;
}

std::string fullName(const CaseNode& node) {
  std::string name(node.name);
  if (!node.variant.empty()) {
    name.append("<").append(node.variant).append(">");
  } else if (node.row != SIZE_MAX) {
    name.append("[").append(std::to_string(node.row)).append("]");
  }
  return name;
}

// Two cases of one name could not be told apart by a filter or a driver: refused before any runs.
void refuseDuplicates(const Registry& r, const std::vector<const CaseNode*>& nodes) {
  std::vector<std::size_t> order(r.table.size());
  for (std::size_t i = 0; i < order.size(); ++i)
    order[i] = i;
  // Ties broken by position, so the earlier of two cases comes first in the message.
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return r.table[a].name != r.table[b].name ? r.table[a].name < r.table[b].name : a < b;
  });
  for (std::size_t k = 1; k < order.size(); ++k) {
    const std::size_t a = order[k - 1], b = order[k];
    if (r.table[a].name != r.table[b].name) continue;
    LockedStderr locked;
    locked.out.put("two cases are named \"").put(r.table[a].name).put("\": at ");
    locked.out.put(shownFile(nodes[a]->file)).put(':').dec(nodes[a]->line).put(" and ");
    locked.out.put(shownFile(nodes[b]->file)).put(':').dec(nodes[b]->line).put('\n');
    locked.out.flush();
    std::exit(2);
  }
}

}  // namespace

void registerCase(CaseNode& node) noexcept {
  Registry& r = registry();
  node.next = nullptr;
  if (r.tail == nullptr) {
    r.head = &node;
  } else {
    r.tail->next = &node;
  }
  r.tail = &node;
}

std::string_view typeAt(std::string_view list, std::size_t index) noexcept {
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= list.size(); ++i) {
    const char c = i < list.size() ? list[i] : ',';
    if (c == '<' || c == '(' || c == '[' || c == '{') ++depth;
    if (c == '>' || c == ')' || c == ']' || c == '}') --depth;
    if (c != ',' || depth > 0) continue;
    if (index-- == 0) {
      std::string_view item = list.substr(start, i - start);
      while (!item.empty() && item.front() == ' ')
        item.remove_prefix(1);
      while (!item.empty() && item.back() == ' ')
        item.remove_suffix(1);
      return item;
    }
    start = i + 1;
  }
  return {};
}

}  // namespace cases_detail

std::span<const TestCase> registeredCases() {
  cases_detail::Registry& r = cases_detail::registry();
  if (r.built) return r.table;
  std::vector<const cases_detail::CaseNode*> nodes;
  for (const cases_detail::CaseNode* n = r.head; n != nullptr; n = n->next)
    nodes.push_back(n);
  // Reserved first: the table's names point into these strings.
  r.names.reserve(nodes.size());
  r.table.reserve(nodes.size());
  for (const cases_detail::CaseNode* n : nodes) {
    const bool plain = n->variant.empty() && n->row == SIZE_MAX;
    std::string_view name = n->name;
    if (!plain) name = r.names.emplace_back(cases_detail::fullName(*n));
    r.table.push_back({name, n->func});
  }
  cases_detail::refuseDuplicates(r, nodes);
  r.built = true;
  return r.table;
}

}  // namespace vesk
