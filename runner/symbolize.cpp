#include "symbolize.hpp"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <gelf.h>
#include <link.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <vesk/array_list.hpp>
#include "terminal.hpp"

namespace vesk {

namespace {

// Larger sources are not shown: the location line alone still says where to look.
constexpr std::size_t MAX_SOURCE_SIZE = std::size_t{16} << 20;
// Inlined calls nest a handful deep in practice; deeper callers are left out.
constexpr std::size_t MAX_INLINE_DEPTH = 32;
constexpr std::size_t SOURCE_CACHE_SLOTS = 4;

// ---------------------------------------------------------------------------------------------
// Colours

struct Style {
  std::string_view location, dim, caret, reset;
};

constexpr Style PLAIN_STYLE{"", "", "", ""};
constexpr Style COLOUR_STYLE{"\x1b[1m", "\x1b[2m", "\x1b[1;32m", "\x1b[0m"};

const Style& chooseStyle() noexcept {
  return Terminal::forErrorSink().colour() ? COLOUR_STYLE : PLAIN_STYLE;
}

// ---------------------------------------------------------------------------------------------
// The executable's debug information, opened on first use and kept for the rest of the process

// A contiguous address range [lo, hi) of one compilation unit, in file addresses.
struct UnitRange {
  std::uint64_t lo;
  std::uint64_t hi;
  std::uint32_t unit;
};

// An address range of a function body or of one inlined call. `max_hi` is the largest `hi` of
// this and every scope sorted before it, which bounds the backward search for containing scopes.
struct Scope {
  std::uint64_t lo;
  std::uint64_t hi;
  std::uint64_t max_hi;
  Dwarf_Off die;
  std::uint32_t depth;
};

// A function symbol of the image, in run-time addresses.
struct Symbol {
  std::uint64_t lo;
  std::uint64_t hi;
  const char* name;
};

struct Unit {
  Dwarf_Die die;
  std::uint32_t first_scope;
  std::uint32_t scope_count;
  bool indexed;
};

struct Session {
  Dwfl* dwfl = nullptr;
  Dwfl_Module* module = nullptr;
  Dwarf* dwarf = nullptr;
  Dwarf_Addr bias = 0;
  // Executable segments, in file addresses: ranges outside them belong to discarded duplicates.
  std::uint64_t text_lo = UINT64_MAX;
  std::uint64_t text_hi = 0;
  ArrayList<Unit> units = ArrayList<Unit>::init(mallocAllocator());
  ArrayList<UnitRange> ranges = ArrayList<UnitRange>::init(mallocAllocator());
  ArrayList<Scope> scopes = ArrayList<Scope>::init(mallocAllocator());
  // Sorted on first use: dwfl's own symbol lookup scans the whole table each time.
  ArrayList<Symbol> symbols = ArrayList<Symbol>::init(mallocAllocator());
  bool symbols_indexed = false;
};

enum class OpenState : std::uint8_t { unopened, open, failed };

// Guarded by `symbolize_mutex`.
OpenState open_state = OpenState::unopened;
Error open_error = Error::Unexpected;
Session session;

// Error-checking, so that a fault raised while this thread symbolises is reported without
// symbolising again instead of waiting for itself.
pthread_mutex_t symbolize_mutex = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;

class SymbolizeLock {
 public:
  SymbolizeLock() noexcept : owned_(::pthread_mutex_lock(&symbolize_mutex) == 0) {}
  ~SymbolizeLock() {
    if (owned_) ::pthread_mutex_unlock(&symbolize_mutex);
  }
  SymbolizeLock(const SymbolizeLock&) = delete;
  SymbolizeLock& operator=(const SymbolizeLock&) = delete;
  bool owned() const noexcept { return owned_; }

 private:
  bool owned_;
};

// The symboliser's own failures must not land in the trace it may be printing.
class NoErrorTrace {
 public:
  NoErrorTrace() noexcept : saved_(setActiveErrorTrace(nullptr)) {}
  ~NoErrorTrace() { setActiveErrorTrace(saved_); }
  NoErrorTrace(const NoErrorTrace&) = delete;
  NoErrorTrace& operator=(const NoErrorTrace&) = delete;

 private:
  ErrorTrace* saved_;
};

// dwfl asks these when it wants more files than the image it was given: there are none to find,
// neither separate debug files nor anything over the network.
int findNoElf(Dwfl_Module*, void**, const char*, Dwarf_Addr, char**, Elf**) {
  return -1;
}

int findNoDebuginfo(Dwfl_Module*, void**, const char*, Dwarf_Addr, const char*, const char*,
                    GElf_Word, char**) {
  return -1;
}

const Dwfl_Callbacks DWFL_CALLBACKS{findNoElf, findNoDebuginfo, dwfl_offline_section_address,
                                    nullptr};

struct LoadedImage {
  std::uintptr_t bias = 0;
  std::uint64_t text_lo = UINT64_MAX;
  std::uint64_t text_hi = 0;
  bool found = false;
};

// The dynamic linker lists the executable first.
int readMainImage(dl_phdr_info* info, std::size_t, void* data) {
  auto* image = static_cast<LoadedImage*>(data);
  image->bias = info->dlpi_addr;
  for (std::size_t i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0) continue;
    image->text_lo = std::min<std::uint64_t>(image->text_lo, ph.p_vaddr);
    image->text_hi = std::max<std::uint64_t>(image->text_hi, ph.p_vaddr + ph.p_memsz);
  }
  image->found = true;
  return 1;
}

bool hasDebugSections(Elf* elf) noexcept {
  std::size_t names = 0;
  if (elf == nullptr || elf_getshdrstrndx(elf, &names) != 0) return false;
  for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn != nullptr; scn = elf_nextscn(elf, scn)) {
    GElf_Shdr header;
    if (gelf_getshdr(scn, &header) == nullptr) continue;
    const char* name = elf_strptr(elf, names, header.sh_name);
    if (name == nullptr) continue;
    const std::string_view n(name);
    if (n == ".debug_info" || n == ".zdebug_info") return true;
  }
  return false;
}

Result<void> addUnitRanges(Session& s, Dwarf_Die& die, std::uint32_t unit) noexcept {
  Dwarf_Addr base = 0, lo = 0, hi = 0;
  ptrdiff_t offset = 0;
  while ((offset = dwarf_ranges(&die, offset, &base, &lo, &hi)) > 0) {
    if (lo < s.text_lo || hi > s.text_hi || lo >= hi) continue;
    VESK_TRY(s.ranges.append(UnitRange{lo, hi, unit}));
  }
  if (offset < 0) return VESK_FAIL(Error::InvalidDebugInfo);
  return {};
}

// Lists the units and their address ranges once. Our own table, because the compiler may not
// emit the address-range section dwfl's unit lookup depends on.
Result<void> indexUnits(Session& s) noexcept {
  Dwarf_CU* cu = nullptr;
  Dwarf_Half version = 0;
  std::uint8_t unit_type = 0;
  Dwarf_Die cudie;
  int rc = 0;
  while ((rc = dwarf_get_units(s.dwarf, cu, &cu, &version, &unit_type, &cudie, nullptr)) == 0) {
    if (unit_type != DW_UT_compile && unit_type != DW_UT_partial) continue;
    const auto index = static_cast<std::uint32_t>(s.units.size());
    VESK_TRY(s.units.append(Unit{cudie, 0, 0, false}));
    VESK_TRY(addUnitRanges(s, cudie, index));
  }
  if (rc < 0) return VESK_FAIL(Error::InvalidDebugInfo);
  std::sort(s.ranges.begin(), s.ranges.end(),
            [](const UnitRange& a, const UnitRange& b) { return a.lo < b.lo; });
  return {};
}

Result<void> openSession(Session& s) noexcept {
  LoadedImage image;
  ::dl_iterate_phdr(readMainImage, &image);
  if (!image.found || image.text_lo >= image.text_hi) return VESK_FAIL(Error::MissingDebugInfo);
  s.text_lo = image.text_lo;
  s.text_hi = image.text_hi;

  char path[PATH_MAX];
  const ssize_t len = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (len <= 0) return VESK_FAIL(Error::InputOutput);
  path[len] = '\0';
  // The link itself opens the running image even when its file was replaced since.
  const int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return VESK_FAIL(Error::InputOutput);

  s.dwfl = dwfl_begin(&DWFL_CALLBACKS);
  if (s.dwfl == nullptr) {
    ::close(fd);
    return VESK_FAIL(Error::OutOfMemory);
  }
  dwfl_report_begin(s.dwfl);
  const char* base_name = std::strrchr(path, '/');
  s.module = dwfl_report_elf(s.dwfl, base_name != nullptr ? base_name + 1 : path, path, fd,
                             image.bias, false);
  if (s.module == nullptr) {
    ::close(fd);  // only a successful report takes the descriptor over
    return VESK_FAIL(Error::InvalidDebugInfo);
  }
  if (dwfl_report_end(s.dwfl, nullptr, nullptr) != 0) return VESK_FAIL(Error::InvalidDebugInfo);

  GElf_Addr elf_bias = 0;
  if (!hasDebugSections(dwfl_module_getelf(s.module, &elf_bias))) {
    return VESK_FAIL(Error::MissingDebugInfo);
  }
  s.dwarf = dwfl_module_getdwarf(s.module, &s.bias);
  if (s.dwarf == nullptr) return VESK_FAIL(Error::InvalidDebugInfo);
  VESK_TRY(indexUnits(s));
  return {};
}

// Opens the debug information the first time it is needed; a failure is remembered, so a broken
// image costs one attempt per process.
Result<Session*> openedSession() noexcept {
  if (open_state == OpenState::unopened) {
    const Result<void> opened = openSession(session);
    open_state = opened.has_value() ? OpenState::open : OpenState::failed;
    if (!opened.has_value()) open_error = opened.error();
  }
  if (open_state == OpenState::failed) return std::unexpected(open_error);
  return &session;
}

// ---------------------------------------------------------------------------------------------
// Function scopes of one unit, indexed when the unit is first looked into

Result<void> addScopes(Session& s, Dwarf_Die& die, std::uint32_t depth) noexcept {
  Dwarf_Addr base = 0, lo = 0, hi = 0;
  ptrdiff_t offset = 0;
  while ((offset = dwarf_ranges(&die, offset, &base, &lo, &hi)) > 0) {
    if (lo < s.text_lo || hi > s.text_hi || lo >= hi) continue;
    VESK_TRY(s.scopes.append(Scope{lo, hi, hi, dwarf_dieoffset(&die), depth}));
  }
  if (offset < 0) return VESK_FAIL(Error::InvalidDebugInfo);
  return {};
}

// Collects the code-carrying scopes below `parent`. Types at namespace level are not entered:
// out-of-line member functions are described at namespace or unit level, and skipping the class
// bodies of the standard headers saves a third of the walk. Types local to a function are: the
// compiler describes a lambda's body inside its closure type there, even below an abstract
// instance of the function that carries no code itself.
Result<void> indexScopes(Session& s, Dwarf_Die& parent, std::uint32_t depth,
                         bool in_function) noexcept {
  Dwarf_Die child;
  int rc = dwarf_child(&parent, &child);
  if (rc < 0) return VESK_FAIL(Error::InvalidDebugInfo);
  while (rc == 0) {
    switch (dwarf_tag(&child)) {
      case DW_TAG_subprogram:
      case DW_TAG_inlined_subroutine:
        VESK_TRY(addScopes(s, child, depth));
        VESK_TRY(indexScopes(s, child, depth + 1, true));
        break;
      case DW_TAG_lexical_block:
      case DW_TAG_namespace:
        VESK_TRY(indexScopes(s, child, depth + 1, in_function));
        break;
      case DW_TAG_structure_type:
      case DW_TAG_class_type:
      case DW_TAG_union_type:
        if (in_function) VESK_TRY(indexScopes(s, child, depth + 1, true));
        break;
      default:
        break;
    }
    rc = dwarf_siblingof(&child, &child);
  }
  if (rc < 0) return VESK_FAIL(Error::InvalidDebugInfo);
  return {};
}

Result<std::span<Scope>> unitScopes(Session& s, Unit& unit) noexcept {
  if (!unit.indexed) {
    const std::size_t first = s.scopes.size();
    VESK_TRY(indexScopes(s, unit.die, 0, false));
    const std::span<Scope> added = s.scopes.items().subspan(first);
    std::sort(added.begin(), added.end(),
              [](const Scope& a, const Scope& b) { return a.lo < b.lo; });
    std::uint64_t max_hi = 0;
    for (Scope& scope : added) {
      max_hi = std::max(max_hi, scope.hi);
      scope.max_hi = max_hi;
    }
    unit.first_scope = static_cast<std::uint32_t>(first);
    unit.scope_count = static_cast<std::uint32_t>(added.size());
    unit.indexed = true;
  }
  return s.scopes.items().subspan(unit.first_scope, unit.scope_count);
}

// The scopes containing `address`, innermost first; returns how many were written.
std::size_t containingScopes(std::span<const Scope> scopes, std::uint64_t address,
                             std::span<const Scope*, MAX_INLINE_DEPTH> out) noexcept {
  auto it = std::upper_bound(scopes.begin(), scopes.end(), address,
                             [](std::uint64_t a, const Scope& s) { return a < s.lo; });
  std::size_t n = 0;
  while (it != scopes.begin()) {
    --it;
    if (it->max_hi <= address) break;  // nothing at or before here reaches the address
    if (address < it->hi && n < out.size()) out[n++] = &*it;
  }
  std::sort(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n),
            [](const Scope* a, const Scope* b) { return a->depth > b->depth; });
  return n;
}

Unit* unitAt(Session& s, std::uint64_t address) noexcept {
  const auto ranges = s.ranges.items();
  auto it = std::upper_bound(ranges.begin(), ranges.end(), address,
                             [](std::uint64_t a, const UnitRange& r) { return a < r.lo; });
  if (it == ranges.begin()) return nullptr;
  --it;
  if (address >= it->hi) return nullptr;
  return &s.units[it->unit];
}

// ---------------------------------------------------------------------------------------------
// Names

// Reused across entries: the demangler grows it with realloc as names need.
char* demangle_buffer = nullptr;
std::size_t demangle_capacity = 0;

std::string_view demangled(const char* name) noexcept {
  if (name == nullptr) return {};
  if (name[0] != '_' || name[1] != 'Z') return name;
  int status = 0;
  char* out = abi::__cxa_demangle(name, demangle_buffer, &demangle_capacity, &status);
  if (out == nullptr || status != 0) return name;
  demangle_buffer = out;
  return out;
}

Result<std::span<const Symbol>> functionSymbols(Session& s) noexcept {
  if (!s.symbols_indexed) {
    s.symbols_indexed = true;
    const int count = dwfl_module_getsymtab(s.module);
    for (int i = 1; i < count; ++i) {
      GElf_Sym symbol;
      GElf_Addr address = 0;
      GElf_Word section = 0;
      const char* name =
          dwfl_module_getsym_info(s.module, i, &symbol, &address, &section, nullptr, nullptr);
      if (name == nullptr || name[0] == '\0' || GELF_ST_TYPE(symbol.st_info) != STT_FUNC ||
          section == SHN_UNDEF) {
        continue;
      }
      VESK_TRY(s.symbols.append(
          Symbol{address, address + std::max<GElf_Xword>(symbol.st_size, 1), name}));
    }
    std::sort(s.symbols.begin(), s.symbols.end(),
              [](const Symbol& a, const Symbol& b) { return a.lo < b.lo; });
  }
  return s.symbols.items();
}

// The name of the function symbol containing `address` (starting exactly there when `exact`),
// demangled; empty when there is none.
Result<std::string_view> symbolName(Session& s, std::uint64_t address, bool exact) noexcept {
  const std::span<const Symbol> symbols = VESK_TRY(functionSymbols(s));
  auto it = std::upper_bound(symbols.begin(), symbols.end(), address,
                             [](std::uint64_t a, const Symbol& sym) { return a < sym.lo; });
  if (it == symbols.begin()) return std::string_view();
  --it;
  if (exact ? it->lo != address : address >= it->hi) return std::string_view();
  return demangled(it->name);
}

// The function a scope belongs to, found through abstract origins and the declarations that
// out-of-line definitions complete: the linkage name when there is one, so that the printed name is
// qualified. Functions of internal linkage have none; an out-of-line one still has a qualified
// symbol at its start.
Result<std::string_view> functionName(Session& s, const Scope& scope) noexcept {
  Dwarf_Die die;
  if (dwarf_offdie(s.dwarf, scope.die, &die) == nullptr) return VESK_FAIL(Error::InvalidDebugInfo);
  Dwarf_Attribute attr;
  if (dwarf_attr_integrate(&die, DW_AT_linkage_name, &attr) != nullptr ||
      dwarf_attr_integrate(&die, DW_AT_MIPS_linkage_name, &attr) != nullptr) {
    if (const char* linkage = dwarf_formstring(&attr); linkage != nullptr) {
      return demangled(linkage);
    }
  }
  if (dwarf_tag(&die) == DW_TAG_subprogram) {
    // Named at its entry: a part split off elsewhere has a symbol of its own, but it is the
    // same function.
    Dwarf_Addr entry = scope.lo, base = 0, end = 0;
    if (dwarf_entrypc(&die, &entry) != 0) dwarf_ranges(&die, 0, &base, &entry, &end);
    const std::string_view symbol = VESK_TRY(symbolName(s, entry + s.bias, true));
    if (!symbol.empty()) return symbol;
  }
  if (dwarf_attr_integrate(&die, DW_AT_name, &attr) != nullptr) {
    return demangled(dwarf_formstring(&attr));
  }
  return std::string_view();
}

// The abstract function behind a scope: what its inlined copies and out-of-line instance share.
Dwarf_Off originOf(Dwarf_Die& die) noexcept {
  Dwarf_Attribute attr;
  Dwarf_Die origin;
  if (dwarf_formref_die(dwarf_attr(&die, DW_AT_abstract_origin, &attr), &origin) != nullptr) {
    return dwarf_dieoffset(&origin);
  }
  return dwarf_dieoffset(&die);
}

// ---------------------------------------------------------------------------------------------
// Source lines

struct SourceFile {
  char* path = nullptr;  // null: the slot is empty
  char* text = nullptr;  // null: the file could not be read
  std::size_t size = 0;
  ArrayList<std::uint32_t> line_starts = ArrayList<std::uint32_t>::init(mallocAllocator());
};

SourceFile source_cache[SOURCE_CACHE_SLOTS];
std::size_t source_cache_next = 0;

void loadSource(SourceFile& file) noexcept {
  const int fd = ::open(file.path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > MAX_SOURCE_SIZE) {
    ::close(fd);
    return;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  char* text = static_cast<char*>(std::malloc(size + 1));
  std::size_t got = 0;
  while (text != nullptr && got < size) {
    const ssize_t n = ::read(fd, text + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (text == nullptr) return;
  file.text = text;
  file.size = got;
  // A failed append leaves fewer known lines: those past it are simply not shown.
  if (!file.line_starts.append(0).has_value()) return;
  for (std::size_t i = 0; i < got; ++i) {
    if (text[i] == '\n' && !file.line_starts.append(static_cast<std::uint32_t>(i + 1))) return;
  }
}

SourceFile* cachedSource(const char* path) noexcept {
  for (SourceFile& file : source_cache) {
    if (file.path != nullptr && std::strcmp(file.path, path) == 0) return &file;
  }
  SourceFile& slot = source_cache[source_cache_next];
  source_cache_next = (source_cache_next + 1) % SOURCE_CACHE_SLOTS;
  std::free(slot.path);
  std::free(slot.text);
  slot.path = ::strdup(path);
  slot.text = nullptr;
  slot.size = 0;
  slot.line_starts.deinit();
  if (slot.path == nullptr) return nullptr;
  loadSource(slot);
  return &slot;
}

// Line `line` (from 1) of the file at `path`, without its line end; empty when unavailable.
std::optional<std::string_view> sourceLine(const char* path, std::uint64_t line) noexcept {
  SourceFile* file = cachedSource(path);
  if (file == nullptr || file->text == nullptr || line == 0) return std::nullopt;
  const auto starts = file->line_starts.items();
  if (line > starts.size()) return std::nullopt;
  const std::size_t begin = starts[line - 1];
  std::size_t end = line < starts.size() ? starts[line] - 1 : file->size;
  if (begin > file->size) return std::nullopt;
  if (end > begin && file->text[end - 1] == '\r') --end;
  return std::string_view(file->text + begin, end - begin);
}

// ---------------------------------------------------------------------------------------------
// Entries

struct Entry {
  std::uint64_t address = 0;
  const char* file = nullptr;  // null: no location known
  std::uint64_t line = 0;
  std::uint64_t column = 0;
  std::string_view function;
  std::string_view unit;
};

void printEntry(Writer& out, const Style& style, const Entry& entry) noexcept {
  const bool located = entry.file != nullptr && entry.line != 0;
  out.put(style.location);
  if (located) {
    out.put(entry.file).put(":").dec(entry.line).put(":").dec(entry.column);
  } else {
    out.put("?\?\?:?:?");
  }
  out.put(style.reset).put(": ").put(style.dim).put("0x").hex(entry.address).put(" in ");
  out.put(style.reset).put(entry.function.empty() ? "?\?\?" : entry.function);
  out.put(style.dim).put(" (").put(entry.unit.empty() ? "?\?\?" : entry.unit).put(")");
  out.put(style.reset).put("\n");
  if (!located) return;

  const std::optional<std::string_view> source = sourceLine(entry.file, entry.line);
  if (source) printSourceLine(out, *source, entry.column, &style == &COLOUR_STYLE);
}

// A return address points after its call, possibly into the next line or function: it is looked
// up, and printed, one byte earlier.
std::uint64_t lookedUp(std::uint64_t address, AddressKind kind) noexcept {
  return kind == AddressKind::return_address && address != 0 ? address - 1 : address;
}

void printUnknown(Writer& out, const Style& style, std::uint64_t address) noexcept {
  Entry entry;
  entry.address = address;
  printEntry(out, style, entry);
}

// A function split by the compiler can describe part of itself as inlined into itself, "called"
// from its own declaration. That is no call: such a level is dropped from `chain` (innermost
// first), and the level around it takes its place. Returns the new length.
std::size_t dropSelfInlining(Session& s, std::span<const Scope*> chain) noexcept {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    Dwarf_Die die, outer;
    Dwarf_Attribute attr;
    Dwarf_Word call_line = 0;
    int decl_line = 0;
    const bool self_inlined =
        i + 1 < chain.size() && dwarf_offdie(s.dwarf, chain[i]->die, &die) != nullptr &&
        dwarf_offdie(s.dwarf, chain[i + 1]->die, &outer) != nullptr &&
        dwarf_tag(&die) == DW_TAG_inlined_subroutine && originOf(die) == originOf(outer) &&
        dwarf_formudata(dwarf_attr(&die, DW_AT_call_line, &attr), &call_line) == 0 &&
        dwarf_decl_line(&die, &decl_line) == 0 && static_cast<Dwarf_Word>(decl_line) == call_line;
    if (!self_inlined) chain[kept++] = chain[i];
  }
  return kept;
}

// Prints the entry for `address`; with `inlined_callers`, one more entry for every inlined call
// that led there, each at its call site.
Result<void> printLocation(Writer& out, const Style& style, Session& s, std::uint64_t address,
                           AddressKind kind, bool inlined_callers) noexcept {
  const std::uint64_t looked_up = lookedUp(address, kind);
  Entry entry;
  entry.address = looked_up;
  if (looked_up < s.bias) {
    printEntry(out, style, entry);
    return {};
  }
  const std::uint64_t file_address = looked_up - s.bias;
  Unit* unit = unitAt(s, file_address);
  if (unit == nullptr) {
    // Outside our debug information (start-up code, another library): a symbol name at most.
    if (file_address >= s.text_lo && file_address < s.text_hi) {
      entry.function = VESK_TRY(symbolName(s, looked_up, false));
    }
    printEntry(out, style, entry);
    return {};
  }
  const char* unit_name = dwarf_diename(&unit->die);
  entry.unit = unit_name != nullptr ? unit_name : "";
  if (Dwarf_Line* line = dwarf_getsrc_die(&unit->die, file_address); line != nullptr) {
    int lineno = 0, column = 0;
    dwarf_lineno(line, &lineno);
    dwarf_linecol(line, &column);
    entry.file = dwarf_linesrc(line, nullptr, nullptr);
    entry.line = static_cast<std::uint64_t>(std::max(lineno, 0));
    entry.column = static_cast<std::uint64_t>(std::max(column, 0));
  }

  const std::span<const Scope> scopes = VESK_TRY(unitScopes(s, *unit));
  const Scope* chain_storage[MAX_INLINE_DEPTH];
  const std::size_t chain_len =
      containingScopes(scopes, file_address,
                       std::span<const Scope*, MAX_INLINE_DEPTH>(chain_storage, MAX_INLINE_DEPTH));
  const std::span<const Scope*> chain(chain_storage,
                                      dropSelfInlining(s, std::span(chain_storage, chain_len)));
  if (chain.empty()) entry.function = VESK_TRY(symbolName(s, looked_up, false));
  for (std::size_t i = 0; i < chain.size(); ++i) {
    // The name is demangled into a shared buffer: print it before looking up the next one.
    entry.function = VESK_TRY(functionName(s, *chain[i]));
    printEntry(out, style, entry);
    if (!inlined_callers || i + 1 == chain.size()) return {};

    Dwarf_Die die;
    if (dwarf_offdie(s.dwarf, chain[i]->die, &die) == nullptr ||
        dwarf_tag(&die) != DW_TAG_inlined_subroutine) {
      return {};
    }
    // The caller's entry sits at the call site of the inlined function.
    Dwarf_Attribute attr;
    Dwarf_Word file_index = 0, line = 0, column = 0;
    entry.file = nullptr;
    if (dwarf_formudata(dwarf_attr(&die, DW_AT_call_file, &attr), &file_index) == 0) {
      Dwarf_Files* files = nullptr;
      std::size_t file_count = 0;
      if (dwarf_getsrcfiles(&unit->die, &files, &file_count) == 0 && file_index < file_count) {
        entry.file = dwarf_filesrc(files, file_index, nullptr, nullptr);
      }
    }
    dwarf_formudata(dwarf_attr(&die, DW_AT_call_line, &attr), &line);
    dwarf_formudata(dwarf_attr(&die, DW_AT_call_column, &attr), &column);
    entry.line = line;
    entry.column = column;
  }
  if (chain.empty()) printEntry(out, style, entry);
  return {};
}

void printUnknownLocations(Writer& out, const Style& style,
                           std::span<const std::uint64_t> addresses, AddressKind first_kind,
                           PrintProgress progress) noexcept {
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const AddressKind kind = i == 0 ? first_kind : AddressKind::return_address;
    printUnknown(out, style, lookedUp(addresses[i], kind));
    if (progress != nullptr) progress(out, i + 1);
  }
}

// Prints entries for `addresses` under the symboliser's lock. `first_kind` applies to the first
// address, return addresses to the rest. Returns how far it got: the error that stopped it.
enum class Stage : std::uint8_t { opening, printing };
struct PrintFailure {
  Stage stage;
  Error error;
};

std::optional<PrintFailure> printLocations(Writer& out, const Style& style,
                                           std::span<const std::uint64_t> addresses,
                                           AddressKind first_kind, bool inlined_callers,
                                           std::string_view before_entries,
                                           PrintProgress progress) noexcept {
  if (addresses.empty()) {
    out.put(before_entries);
    return std::nullopt;
  }
  SymbolizeLock lock;
  if (!lock.owned()) {
    // Reached from a fault inside the symboliser itself: its state cannot be trusted.
    out.put(before_entries);
    printUnknownLocations(out, style, addresses, first_kind, progress);
    return std::nullopt;
  }
  const NoErrorTrace no_trace;
  const Result<Session*> s = openedSession();
  if (!s.has_value()) return PrintFailure{Stage::opening, s.error()};
  out.put(before_entries);
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const AddressKind kind = i == 0 ? first_kind : AddressKind::return_address;
    const Result<void> printed =
        printLocation(out, style, **s, addresses[i], kind, inlined_callers);
    if (!printed.has_value()) return PrintFailure{Stage::printing, printed.error()};
    if (progress != nullptr) progress(out, i + 1);
  }
  return std::nullopt;
}

// The slots of `trace` that hold a site: the oldest 32 of them.
std::span<const std::uint64_t> recordedSites(const ErrorTrace& trace) noexcept {
  const std::uint64_t shown =
      std::min<std::uint64_t>(trace.index, trace.instruction_addresses.size());
  return std::span<const std::uint64_t>(trace.instruction_addresses).first(shown);
}

void printSkippedSites(Writer& out, const ErrorTrace& trace) noexcept {
  if (trace.index > trace.instruction_addresses.size()) {
    out.put("(").dec(trace.index - trace.instruction_addresses.size());
    out.put(" additional stack frames skipped...)\n");
  }
}

void printDumpFailure(Writer& out, const PrintFailure& failure) noexcept {
  out.put("Unable to dump stack trace: ");
  if (failure.stage == Stage::opening) out.put("Unable to open debug info: ");
  out.put(errorName(failure.error)).put("\n");
}

}  // namespace

void printSourceLine(Writer& out, std::string_view source, std::uint64_t column,
                     bool coloured) noexcept {
  const Style& style = coloured ? COLOUR_STYLE : PLAIN_STYLE;
  out.put(source).put("\n");
  // Column 0 means "somewhere on this line"; a column past the end means the file changed since
  // it was compiled. Either way a caret would point at nothing, but the line still helps.
  if (column == 0 || column > source.size()) return;
  for (const char c : source.substr(0, column - 1)) {
    if (c == '\t') {
      out.put('\t');  // keeps the caret under the column whatever the tab width
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      out.put(' ');  // one space per character, not per byte of its encoding
    }
  }
  out.put(style.caret).put("^").put(style.reset).put("\n");
}

void printErrorTrace(Writer& out, const ErrorTrace& trace, PrintProgress progress) noexcept {
  // Every recorded site is an entry of its own; whoever inlined it recorded its own return too,
  // so inlined callers would only repeat them.
  if (auto failure = printLocations(out, chooseStyle(), recordedSites(trace),
                                    AddressKind::return_address, false, "", progress)) {
    printDumpFailure(out, *failure);
    return;
  }
  printSkippedSites(out, trace);
}

void printStackTrace(Writer& out, std::span<const std::uint64_t> addresses, bool first_is_exact,
                     PrintProgress progress) noexcept {
  const AddressKind first = first_is_exact ? AddressKind::exact : AddressKind::return_address;
  if (auto failure = printLocations(out, chooseStyle(), addresses, first, true, "", progress)) {
    printDumpFailure(out, *failure);
  }
}

void printStackUnsymbolised(Writer& out, std::span<const std::uint64_t> addresses,
                            AddressKind first_kind) noexcept {
  printUnknownLocations(out, chooseStyle(), addresses, first_kind, nullptr);
}

void printErrorTraceUnsymbolised(Writer& out, const ErrorTrace& trace, std::size_t from) noexcept {
  const std::span<const std::uint64_t> sites = recordedSites(trace);
  printUnknownLocations(out, chooseStyle(), sites.subspan(std::min(from, sites.size())),
                        AddressKind::return_address, nullptr);
  printSkippedSites(out, trace);
}

void printAddressRecord(Writer& out, std::span<const std::uint64_t> addresses) noexcept {
  const auto failure = printLocations(out, chooseStyle(), addresses, AddressKind::return_address,
                                      true, "\n", nullptr);
  if (!failure) return;
  if (failure->stage == Stage::opening) {
    out.put("\nUnable to print stack trace: Unable to open debug info: ");
  } else {
    out.put("Unable to print stack trace: ");
  }
  out.put(errorName(failure->error)).put("\n");
}

}  // namespace vesk
