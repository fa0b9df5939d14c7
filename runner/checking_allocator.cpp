#include <vesk/checking_allocator.hpp>
#include <vesk/panic.hpp>

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <mutex>

#include <vesk/log.hpp>
#include "stack_trace.hpp"
#include "symbolize.hpp"

// Blocks come from pages that are zero when first mapped and hold old data when reused, so
// valgrind's memcheck would take them as initialised; telling it otherwise (a few instructions,
// nothing when the process is not under valgrind) lets it catch reads of memory never written.
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MAKE_MEM_UNDEFINED(address, len) ((void)(address), (void)(len))
#endif

namespace vesk {

namespace {

constexpr std::size_t SMALL_PAGE_LEN = 4096;
constexpr std::size_t SMALL_MAX = 2048;
constexpr std::size_t CLASS_COUNT = 12;  // slot sizes 1, 2, 4, ... 2048
constexpr std::size_t TRACE_LEN = 10;
// Data pages are mapped this many at a time; the ones still untaken at `deinit` go to the reserve.
constexpr std::size_t PAGES_PER_CHUNK = 16;
constexpr std::size_t ARENA_CHUNK_LEN = std::size_t{1} << 20;
// What released instances may leave mapped for the next ones (see `Reserve`).
constexpr std::size_t RESERVE_MAX_PAGES = 1024;
constexpr std::size_t RESERVE_MAX_CHUNKS = 8;
constexpr std::size_t INITIAL_TABLE_CAPACITY = 256;
constexpr std::uint8_t POISON = 0xAA;

// ---------------------------------------------------------------------------------------------
// Declarations

/// Up to 10 return addresses of one allocation, free or resize, innermost first.
struct AddressList {
  std::uint8_t len;
  std::array<std::uint64_t, TRACE_LEN> addresses;

  std::span<const std::uint64_t> view() const noexcept { return {addresses.data(), len}; }
};

enum class SlotState : std::uint8_t { live, freed };

/// What is known about one slot that has been handed out. Slots are never handed out twice
/// within one instance, so a freed slot keeps its records and every later free of it is caught.
struct SlotRecord {
  std::uint32_t requested_len;
  std::uint8_t log2_align;
  SlotState state;
  AddressList allocation;
  AddressList first_free;  // empty while the slot is live
};

/// The bookkeeping of one 4096-byte data page of small slots, followed in memory by one
/// `SlotRecord` per slot. It lives in the bookkeeping arena, away from the data it describes, so
/// that a write past the end of a slot cannot corrupt it.
struct SmallPage {
  std::byte* data;
  SmallPage* next;  // the previous page of the same size class
  std::uint32_t slot_count;
  std::uint32_t cursor;  // slots below it have been handed out
  std::uint32_t live;
  std::uint8_t class_index;

  SlotRecord* slots() noexcept { return reinterpret_cast<SlotRecord*>(this + 1); }
  std::size_t slotLen() const noexcept { return std::size_t{1} << class_index; }
};

/// One entry of the page table: a data page and its bookkeeping. Address 0 marks an empty entry.
struct PageEntry {
  std::uintptr_t address;
  SmallPage* page;
};

/// A live allocation of more than 2048 bytes (or alignment), mapped on its own.
struct LargeBlock {
  std::uintptr_t address;  // where `data` is, the table key; 0 marks an empty table entry
  std::byte* data;
  std::size_t requested_len;
  std::size_t mapped_len;
  std::uint8_t log2_align;
  AddressList allocation;
};

/// An open-addressing hash table from a page-aligned address to an entry, in mapped memory so
/// that the checking allocator never allocates through itself or through the C library.
template <class Entry>
class AddressTable {
 public:
  /// The entry for `address`, or null.
  Entry* find(std::uintptr_t address) noexcept;
  /// Makes sure one more entry fits; false when memory for a larger table cannot be mapped.
  bool reserveOne() noexcept;
  /// Adds `entry`, whose address is not yet in the table; `reserveOne` must have succeeded.
  void insert(const Entry& entry) noexcept;
  /// Removes `entry`, a pointer `find` returned.
  void erase(Entry* entry) noexcept;
  /// Calls `visit` on each entry, in table order.
  template <class F>
  void forEach(F&& visit) noexcept;
  /// Unmaps the table; it is empty afterwards.
  void release() noexcept;

 private:
  std::size_t home(std::uintptr_t address) const noexcept;

  Entry* entries_ = nullptr;
  std::size_t capacity_ = 0;  // zero or a power of two
  std::size_t len_ = 0;
};

/// A mapped chunk of the bookkeeping arena; the header sits at its start.
struct ArenaChunk {
  ArenaChunk* next;
  std::size_t len;
};

/// Memory that released instances gave back, kept mapped for the next ones: faulting fresh pages
/// in costs far more than everything else an allocation does. Holds whole data pages (linked
/// through their first word) and arena chunks of the standard length, up to a bound; beyond it
/// memory goes back to the system. It has its own lock, taken inside the instance lock or alone.
class Reserve {
 public:
  /// A data page given back earlier, or null.
  std::byte* takePage() noexcept;
  /// Keeps `page` for later, or unmaps it when the reserve is full.
  void givePage(std::byte* page) noexcept;
  /// An arena chunk of `ARENA_CHUNK_LEN` bytes given back earlier, or null.
  ArenaChunk* takeChunk() noexcept;
  /// Keeps `chunk` for later, or unmaps it when the reserve is full or it has another length.
  void giveChunk(ArenaChunk* chunk) noexcept;

 private:
  std::mutex mutex_;
  std::byte* pages_ = nullptr;
  std::size_t page_count_ = 0;
  ArenaChunk* chunks_ = nullptr;
  std::size_t chunk_count_ = 0;
};

/// A bump allocator over mapped chunks for page bookkeeping; released all at once.
class MapArena {
 public:
  /// `len` bytes aligned to 16, or null when no memory can be mapped. The bytes may hold
  /// anything: every record is written in full before it is read.
  void* take(std::size_t len) noexcept;
  /// Room for `n` values of T, uninitialised, or null.
  template <class T>
  T* takeArray(std::size_t n) noexcept {
    // NOLINTNEXTLINE(bugprone-sizeof-expression): T may be a pointer: an array of pointers
    return static_cast<T*>(take(n * sizeof(T)));
  }
  /// Gives every chunk back to the reserve.
  void release() noexcept;

 private:
  ArenaChunk* head_ = nullptr;
  std::size_t used_ = 0;  // bytes taken from the head chunk, its header included
};

/// Hands out 4096-byte data pages: from the reserve, else from chunks mapped a few at a time.
class PageSource {
 public:
  /// A page, or null when no memory can be mapped. Its contents are left over from earlier use.
  std::byte* take() noexcept;
  /// Gives the pages of the current chunk that were never taken to the reserve.
  void releaseUntaken() noexcept;

 private:
  std::byte* chunk_ = nullptr;
  std::size_t taken_ = PAGES_PER_CHUNK;
};

/// The state of one checking-allocator instance. Plain data, so that `deinit` can detach it from
/// the process-wide slot under the lock and report on it afterwards.
struct Instance {
  std::array<SmallPage*, CLASS_COUNT> pages{};  // newest first; the head is the one being carved
  std::array<std::size_t, CLASS_COUNT> page_counts{};
  AddressTable<PageEntry> page_table;
  AddressTable<LargeBlock> large_table;
  MapArena arena;
  PageSource page_source;
};

/// One misuse found under the lock, logged after it is released.
struct Diagnostic {
  enum class Kind : std::uint8_t {
    free_size,
    free_alignment,
    resize_size,
    resize_alignment,
    double_free,
  };
  Kind kind;
  std::uint64_t recorded;  // what the allocator knows (length, or alignment in bytes)
  std::uint64_t given;     // what the caller said
  AddressList allocation;
  AddressList first_free;  // only for a double free
  AddressList current;
};

/// Up to two diagnostics of one operation (a length and an alignment mismatch can come together).
struct Diagnostics {
  std::size_t len = 0;
  std::array<Diagnostic, 2> items;

  Diagnostic& add() noexcept { return items[len++]; }
};

void* mapBytes(std::size_t len) noexcept;
void unmapBytes(void* address, std::size_t len) noexcept;
std::uint64_t alignmentBytes(std::uint8_t log2_align) noexcept;
AddressList captureFrom(std::uintptr_t ret_addr) noexcept;
void emit(const Diagnostics& diagnostics) noexcept;
void logLeak(const std::byte* block, std::span<const std::uint64_t> addresses) noexcept;
bool reportLeaks(Instance& old) noexcept;
void reclaim(Instance& old) noexcept;

void* checkingAlloc(void* ctx, std::size_t len, std::uint8_t log2_align,
                    std::uintptr_t ret_addr) noexcept;
bool checkingResize(void* ctx, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
                    std::size_t new_size, std::uintptr_t ret_addr) noexcept;
void checkingFree(void* ctx, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
                  std::uintptr_t ret_addr) noexcept;

constinit std::mutex instance_mutex;
constinit Instance instance;
constinit Reserve reserve;
constexpr AllocatorVTable checking_vtable{checkingAlloc, checkingResize, checkingFree};

// ---------------------------------------------------------------------------------------------
// Mapped memory

void* mapBytes(std::size_t len) noexcept {
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void unmapBytes(void* address, std::size_t len) noexcept {
  if (len != 0) ::munmap(address, len);
}

std::size_t roundUpToPages(std::size_t len) noexcept {
  return (len + SMALL_PAGE_LEN - 1) & ~(SMALL_PAGE_LEN - 1);
}

template <class Entry>
std::size_t AddressTable<Entry>::home(std::uintptr_t address) const noexcept {
  // Addresses are page-aligned: drop the zero bits, then spread the rest (Fibonacci hashing).
  const std::uint64_t h = (static_cast<std::uint64_t>(address) >> 12) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> (64 - std::countr_zero(capacity_)));
}

template <class Entry>
Entry* AddressTable<Entry>::find(std::uintptr_t address) noexcept {
  if (capacity_ == 0 || address == 0) return nullptr;
  for (std::size_t i = home(address);; i = (i + 1) & (capacity_ - 1)) {
    if (entries_[i].address == address) return &entries_[i];
    if (entries_[i].address == 0) return nullptr;
  }
}

template <class Entry>
bool AddressTable<Entry>::reserveOne() noexcept {
  // At most half full, so probe sequences stay short and always end at an empty entry.
  if ((len_ + 1) * 2 <= capacity_) return true;
  const std::size_t new_capacity = capacity_ == 0 ? INITIAL_TABLE_CAPACITY : capacity_ * 2;
  auto* fresh = static_cast<Entry*>(mapBytes(new_capacity * sizeof(Entry)));
  if (fresh == nullptr) return false;
  Entry* old = entries_;
  const std::size_t old_capacity = capacity_;
  entries_ = fresh;  // mapped memory is zeroed: every entry starts empty
  capacity_ = new_capacity;
  for (std::size_t i = 0; i < old_capacity; ++i) {
    if (old[i].address == 0) continue;
    std::size_t j = home(old[i].address);
    while (entries_[j].address != 0)
      j = (j + 1) & (capacity_ - 1);
    entries_[j] = old[i];
  }
  unmapBytes(old, old_capacity * sizeof(Entry));
  return true;
}

template <class Entry>
void AddressTable<Entry>::insert(const Entry& entry) noexcept {
  std::size_t i = home(entry.address);
  while (entries_[i].address != 0)
    i = (i + 1) & (capacity_ - 1);
  entries_[i] = entry;
  ++len_;
}

template <class Entry>
void AddressTable<Entry>::erase(Entry* entry) noexcept {
  // Backward-shift deletion keeps every probe sequence unbroken without tombstones.
  const std::size_t mask = capacity_ - 1;
  std::size_t hole = static_cast<std::size_t>(entry - entries_);
  for (std::size_t i = (hole + 1) & mask; entries_[i].address != 0; i = (i + 1) & mask) {
    const std::size_t want = home(entries_[i].address);
    // The entry may move into the hole only if the hole lies on its probe path (want .. i].
    const bool hole_on_path = ((i - want) & mask) >= ((i - hole) & mask);
    if (hole_on_path) {
      entries_[hole] = entries_[i];
      hole = i;
    }
  }
  entries_[hole] = Entry{};
  --len_;
}

template <class Entry>
template <class F>
void AddressTable<Entry>::forEach(F&& visit) noexcept {
  for (std::size_t i = 0; i < capacity_; ++i) {
    if (entries_[i].address != 0) visit(entries_[i]);
  }
}

template <class Entry>
void AddressTable<Entry>::release() noexcept {
  unmapBytes(entries_, capacity_ * sizeof(Entry));
  *this = AddressTable{};
}

std::byte* Reserve::takePage() noexcept {
  std::lock_guard lock(mutex_);
  std::byte* page = pages_;
  if (page != nullptr) {
    std::memcpy(&pages_, page, sizeof pages_);
    --page_count_;
  }
  return page;
}

void Reserve::givePage(std::byte* page) noexcept {
  {
    std::lock_guard lock(mutex_);
    if (page_count_ < RESERVE_MAX_PAGES) {
      std::memcpy(page, &pages_, sizeof pages_);
      pages_ = page;
      ++page_count_;
      return;
    }
  }
  unmapBytes(page, SMALL_PAGE_LEN);
}

ArenaChunk* Reserve::takeChunk() noexcept {
  std::lock_guard lock(mutex_);
  ArenaChunk* chunk = chunks_;
  if (chunk != nullptr) {
    chunks_ = chunk->next;
    --chunk_count_;
  }
  return chunk;
}

void Reserve::giveChunk(ArenaChunk* chunk) noexcept {
  {
    std::lock_guard lock(mutex_);
    if (chunk->len == ARENA_CHUNK_LEN && chunk_count_ < RESERVE_MAX_CHUNKS) {
      chunk->next = chunks_;
      chunks_ = chunk;
      ++chunk_count_;
      return;
    }
  }
  unmapBytes(chunk, chunk->len);
}

void* MapArena::take(std::size_t len) noexcept {
  constexpr std::size_t header = (sizeof(ArenaChunk) + 15) & ~std::size_t{15};
  len = (len + 15) & ~std::size_t{15};
  if (head_ == nullptr || head_->len - used_ < len) {
    const std::size_t chunk_len = std::max(ARENA_CHUNK_LEN, roundUpToPages(header + len));
    ArenaChunk* chunk = chunk_len == ARENA_CHUNK_LEN ? reserve.takeChunk() : nullptr;
    if (chunk == nullptr) {
      chunk = static_cast<ArenaChunk*>(mapBytes(chunk_len));
      if (chunk == nullptr) return nullptr;
    }
    *chunk = ArenaChunk{head_, chunk_len};
    head_ = chunk;
    used_ = header;
  }
  void* p = reinterpret_cast<std::byte*>(head_) + used_;
  used_ += len;
  return p;
}

void MapArena::release() noexcept {
  while (head_ != nullptr)
    reserve.giveChunk(std::exchange(head_, head_->next));
  used_ = 0;
}

std::byte* PageSource::take() noexcept {
  if (std::byte* page = reserve.takePage()) return page;
  if (taken_ == PAGES_PER_CHUNK) {
    auto* chunk = static_cast<std::byte*>(mapBytes(PAGES_PER_CHUNK * SMALL_PAGE_LEN));
    if (chunk == nullptr) return nullptr;
    chunk_ = chunk;
    taken_ = 0;
  }
  return chunk_ + SMALL_PAGE_LEN * taken_++;
}

void PageSource::releaseUntaken() noexcept {
  if (chunk_ == nullptr) return;
  while (taken_ < PAGES_PER_CHUNK)
    reserve.givePage(chunk_ + SMALL_PAGE_LEN * taken_++);
  *this = PageSource{};
}

// ---------------------------------------------------------------------------------------------
// Records and reports

std::uint64_t alignmentBytes(std::uint8_t log2_align) noexcept {
  return log2_align < 64 ? std::uint64_t{1} << log2_align : 0;
}

// Records start at the caller's return address, so the allocator's own frames never show up. A
// chain that does not lead there (a caller built without frame pointers) still keeps that one.
[[gnu::noinline]] AddressList captureFrom(std::uintptr_t ret_addr) noexcept {
  AddressList list;
  list.len = static_cast<std::uint8_t>(captureStackTrace(ret_addr, list.addresses));
  if (list.len == 0 && ret_addr != 0) {
    list.addresses[0] = ret_addr;
    list.len = 1;
  }
  return list;
}

void emit(const Diagnostics& diagnostics) noexcept {
  for (std::size_t i = 0; i < diagnostics.len; ++i) {
    const Diagnostic& d = diagnostics.items[i];
    logWith(LogLevel::err, "gpa", [&d](Writer& w) {
      switch (d.kind) {
        case Diagnostic::Kind::free_size:
        case Diagnostic::Kind::resize_size:
          w.put("Allocation size ").dec(d.recorded).put(" bytes does not match ");
          w.put(d.kind == Diagnostic::Kind::free_size ? "free" : "resize");
          w.put(" size ").dec(d.given).put(". Allocation: ");
          break;
        case Diagnostic::Kind::free_alignment:
        case Diagnostic::Kind::resize_alignment:
          w.put("Allocation alignment ").dec(d.recorded).put(" does not match ");
          w.put(d.kind == Diagnostic::Kind::free_alignment ? "free" : "resize");
          w.put(" alignment ").dec(d.given).put(". Allocation: ");
          break;
        case Diagnostic::Kind::double_free:
          w.put("Double free detected. Allocation: ");
          printAddressRecord(w, d.allocation.view());
          w.put(" First free: ");
          printAddressRecord(w, d.first_free.view());
          w.put(" Second free: ");
          printAddressRecord(w, d.current.view());
          return;
      }
      printAddressRecord(w, d.allocation.view());
      const bool is_free =
          d.kind == Diagnostic::Kind::free_size || d.kind == Diagnostic::Kind::free_alignment;
      w.put(is_free ? " Free: " : " Resize: ");
      printAddressRecord(w, d.current.view());
    });
  }
}

void logLeak(const std::byte* block, std::span<const std::uint64_t> addresses) noexcept {
  logWith(LogLevel::err, "gpa", [&](Writer& w) {
    w.put("memory address 0x").hex(reinterpret_cast<std::uintptr_t>(block)).put(" leaked: ");
    printAddressRecord(w, addresses);
  });
}

// Logs every live slot of `page`, in slot order; true when there was one.
bool reportPage(SmallPage& page) noexcept {
  if (page.live == 0) return false;
  for (std::uint32_t s = 0; s < page.cursor; ++s) {
    const SlotRecord& slot = page.slots()[s];
    if (slot.state != SlotState::live) continue;
    logLeak(page.data + s * page.slotLen(), slot.allocation.view());
  }
  return true;
}

// Small allocations by size class, then page address, then slot; then the large ones.
bool reportLeaks(Instance& old) noexcept {
  bool leaked = false;
  for (std::size_t c = 0; c < CLASS_COUNT; ++c) {
    const std::size_t count = old.page_counts[c];
    if (count == 0) continue;
    SmallPage** sorted = old.arena.takeArray<SmallPage*>(count);
    if (sorted == nullptr) {
      // No memory to sort in: every leak is still reported, only not in address order.
      for (SmallPage* p = old.pages[c]; p != nullptr; p = p->next)
        leaked |= reportPage(*p);
      continue;
    }
    std::size_t n = 0;
    for (SmallPage* p = old.pages[c]; p != nullptr; p = p->next)
      sorted[n++] = p;
    std::sort(sorted, sorted + n, [](const SmallPage* a, const SmallPage* b) {
      return std::less<>{}(a->data, b->data);
    });
    for (std::size_t i = 0; i < n; ++i)
      leaked |= reportPage(*sorted[i]);
  }
  old.large_table.forEach([&](const LargeBlock& block) {
    leaked = true;
    logLeak(block.data, block.allocation.view());
  });
  return leaked;
}

// Gives the instance's memory back (to the reserve or the system), except what is still live:
// leaked blocks stay mapped and untouched, so a late read through a leaked pointer does not fault.
void reclaim(Instance& old) noexcept {
  for (std::size_t c = 0; c < CLASS_COUNT; ++c) {
    for (SmallPage* p = old.pages[c]; p != nullptr; p = p->next) {
      if (p->live == 0) reserve.givePage(p->data);
    }
  }
  old.page_source.releaseUntaken();
  old.page_table.release();
  old.large_table.release();
  old.arena.release();
}

// ---------------------------------------------------------------------------------------------
// The allocator operations

// A new page for size class `c`, or null when memory cannot be mapped. Called under the lock.
SmallPage* newPage(std::size_t c) noexcept {
  const std::size_t slot_count = SMALL_PAGE_LEN >> c;
  if (!instance.page_table.reserveOne()) return nullptr;
  auto* page = static_cast<SmallPage*>(
      instance.arena.take(sizeof(SmallPage) + slot_count * sizeof(SlotRecord)));
  if (page == nullptr) return nullptr;
  std::byte* data = instance.page_source.take();
  if (data == nullptr) return nullptr;
  *page = SmallPage{data, instance.pages[c],           static_cast<std::uint32_t>(slot_count), 0,
                    0,    static_cast<std::uint8_t>(c)};
  instance.pages[c] = page;
  ++instance.page_counts[c];
  instance.page_table.insert(PageEntry{reinterpret_cast<std::uintptr_t>(data), page});
  return page;
}

void* allocLarge(std::size_t len, std::uint8_t log2_align, const AddressList& trace) noexcept {
  const std::size_t align = std::size_t{1} << log2_align;
  if (len > SIZE_MAX - align - SMALL_PAGE_LEN) return nullptr;
  // A zero-length request lands here when its alignment is large; it still gets a page.
  const std::size_t mapped_len = roundUpToPages(std::max(len, std::size_t{1}));
  if (!instance.large_table.reserveOne()) return nullptr;
  std::byte* data = nullptr;
  if (align <= SMALL_PAGE_LEN) {
    data = static_cast<std::byte*>(mapBytes(mapped_len));
  } else {
    // Over-map by the alignment, then trim both ends so that only the aligned pages stay.
    const std::size_t over_len = mapped_len + align - SMALL_PAGE_LEN;
    auto* base = static_cast<std::byte*>(mapBytes(over_len));
    if (base != nullptr) {
      const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(base) & (align - 1);
      const std::size_t front = misalignment == 0 ? 0 : align - misalignment;
      data = base + front;
      unmapBytes(base, front);
      unmapBytes(data + mapped_len, over_len - front - mapped_len);
    }
  }
  if (data == nullptr) return nullptr;
  instance.large_table.insert(
      LargeBlock{reinterpret_cast<std::uintptr_t>(data), data, len, mapped_len, log2_align, trace});
  VALGRIND_MAKE_MEM_UNDEFINED(data, len);
  return data;
}

void* checkingAlloc(void*, std::size_t len, std::uint8_t log2_align,
                    std::uintptr_t ret_addr) noexcept {
  // No mapping can be aligned to half the address space or more.
  if (log2_align >= 47) return nullptr;
  const AddressList trace = captureFrom(ret_addr);
  const std::size_t align = std::size_t{1} << log2_align;
  // A zero-length request still gets a slot of its own: it is a distinct block that must be
  // freed like any other.
  const std::size_t need = std::max({len, align, std::size_t{1}});
  std::lock_guard lock(instance_mutex);
  if (need > SMALL_MAX) return allocLarge(len, log2_align, trace);

  const auto c = static_cast<std::size_t>(std::countr_zero(std::bit_ceil(need)));
  SmallPage* page = instance.pages[c];
  if (page == nullptr || page->cursor == page->slot_count) {
    page = newPage(c);
    if (page == nullptr) return nullptr;
  }
  const std::uint32_t s = page->cursor++;
  ++page->live;
  SlotRecord& slot = page->slots()[s];
  slot.requested_len = static_cast<std::uint32_t>(len);
  slot.log2_align = log2_align;
  slot.state = SlotState::live;
  slot.allocation = trace;
  slot.first_free.len = 0;
  std::byte* data = page->data + s * page->slotLen();
  VALGRIND_MAKE_MEM_UNDEFINED(data, len);
  return data;
}

// The slot of a small page that `address` names, or null when the address is not the start of a
// slot that was handed out.
SlotRecord* slotAt(SmallPage& page, std::uintptr_t address) noexcept {
  const std::uintptr_t offset = address - reinterpret_cast<std::uintptr_t>(page.data);
  if (offset % page.slotLen() != 0) return nullptr;
  const std::size_t s = offset / page.slotLen();
  return s < page.cursor ? &page.slots()[s] : nullptr;
}

// The slot that `address` names on `page`; a pointer inside a slot, or to a slot never handed
// out, stops with "Invalid free" (the lock released first: other threads of the case go on while
// the report prints).
SlotRecord& slotOrStop(SmallPage& page, std::uintptr_t address,
                       std::unique_lock<std::mutex>& lock) noexcept {
  SlotRecord* slot = slotAt(page, address);
  if (slot == nullptr) {
    lock.unlock();
    panic("Invalid free");
  }
  return *slot;
}

void addDoubleFree(Diagnostics& diagnostics, const SlotRecord& slot,
                   const AddressList& current) noexcept {
  diagnostics.add() =
      Diagnostic{Diagnostic::Kind::double_free, 0, 0, slot.allocation, slot.first_free, current};
}

// Compares the caller's length and alignment of a live small block with its record; each
// mismatch becomes a diagnostic of the given kind (free or resize wording).
void checkSmallBlock(Diagnostics& diagnostics, const SlotRecord& slot, std::size_t len,
                     std::uint8_t log2_align, Diagnostic::Kind size_kind,
                     Diagnostic::Kind alignment_kind, const AddressList& current) noexcept {
  if (slot.requested_len != len) {
    diagnostics.add() =
        Diagnostic{size_kind, slot.requested_len, len, slot.allocation, {}, current};
  }
  if (slot.log2_align != log2_align) {
    diagnostics.add() = Diagnostic{alignment_kind,
                                   alignmentBytes(slot.log2_align),
                                   alignmentBytes(log2_align),
                                   slot.allocation,
                                   {},
                                   current};
  }
}

// A large block's length is checked with the free wording for both free and resize.
void checkLargeBlock(Diagnostics& diagnostics, const LargeBlock& block, std::size_t len,
                     const AddressList& current) noexcept {
  if (block.requested_len != len) {
    diagnostics.add() = Diagnostic{
        Diagnostic::Kind::free_size, block.requested_len, len, block.allocation, {}, current};
  }
}

bool checkingResize(void*, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
                    std::size_t new_size, std::uintptr_t ret_addr) noexcept {
  const auto address = reinterpret_cast<std::uintptr_t>(old_mem.data());
  const AddressList current = captureFrom(ret_addr);
  Diagnostics diagnostics;
  bool resized = false;
  std::unique_lock lock(instance_mutex);
  if (PageEntry* entry = instance.page_table.find(address & ~(SMALL_PAGE_LEN - 1))) {
    SmallPage& page = *entry->page;
    SlotRecord& slot = slotOrStop(page, address, lock);
    if (slot.state == SlotState::freed) {
      addDoubleFree(diagnostics, slot, current);
      lock.unlock();
      emit(diagnostics);
      panic("Unrecoverable double free");
    }
    checkSmallBlock(diagnostics, slot, old_mem.size(), log2_old_align,
                    Diagnostic::Kind::resize_size, Diagnostic::Kind::resize_alignment, current);
    // The slot is aligned to its own length, so any alignment up to it is kept.
    if (new_size <= page.slotLen() && log2_old_align <= page.class_index) {
      const std::size_t old_len = std::min<std::size_t>(
          std::max<std::size_t>(slot.requested_len, old_mem.size()), page.slotLen());
      if (new_size < old_len) {
        std::memset(old_mem.data() + new_size, POISON, old_len - new_size);
      } else {
        VALGRIND_MAKE_MEM_UNDEFINED(old_mem.data() + old_len, new_size - old_len);
      }
      slot.requested_len = static_cast<std::uint32_t>(new_size);
      resized = true;
    }
  } else if (LargeBlock* block = instance.large_table.find(address)) {
    checkLargeBlock(diagnostics, *block, old_mem.size(), current);
    // Within the pages already mapped; moving the mapping is the caller's business.
    if (new_size <= block->mapped_len) {
      if (new_size < block->requested_len) {
        std::memset(old_mem.data() + new_size, POISON, block->requested_len - new_size);
      } else {
        VALGRIND_MAKE_MEM_UNDEFINED(old_mem.data() + block->requested_len,
                                    new_size - block->requested_len);
      }
      block->requested_len = new_size;
      resized = true;
    }
  } else {
    lock.unlock();
    panic("Invalid free");
  }
  lock.unlock();
  emit(diagnostics);
  return resized;
}

void checkingFree(void*, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
                  std::uintptr_t ret_addr) noexcept {
  const auto address = reinterpret_cast<std::uintptr_t>(old_mem.data());
  const AddressList current = captureFrom(ret_addr);
  Diagnostics diagnostics;
  std::unique_lock lock(instance_mutex);
  if (PageEntry* entry = instance.page_table.find(address & ~(SMALL_PAGE_LEN - 1))) {
    SmallPage& page = *entry->page;
    SlotRecord& slot = slotOrStop(page, address, lock);
    if (slot.state == SlotState::freed) {
      addDoubleFree(diagnostics, slot, current);
    } else {
      checkSmallBlock(diagnostics, slot, old_mem.size(), log2_old_align,
                      Diagnostic::Kind::free_size, Diagnostic::Kind::free_alignment, current);
      // The whole slot, whatever length the caller gave: stale reads anywhere in it see 0xAA.
      std::memset(old_mem.data(), POISON, page.slotLen());
      slot.state = SlotState::freed;
      slot.first_free = current;
      --page.live;
    }
  } else if (LargeBlock* block = instance.large_table.find(address)) {
    checkLargeBlock(diagnostics, *block, old_mem.size(), current);
    unmapBytes(block->data, block->mapped_len);
    instance.large_table.erase(block);
  } else {
    lock.unlock();
    panic("Invalid free");
  }
  lock.unlock();
  emit(diagnostics);
}

}  // namespace

Allocator testingAllocator() noexcept {
  return Allocator{&instance, &checking_vtable};
}

void checkingAllocatorInit() noexcept {
  Instance old;
  {
    std::lock_guard lock(instance_mutex);
    old = std::exchange(instance, Instance{});
  }
  // An instance nobody released is dropped without a report; its live blocks stay mapped.
  reclaim(old);
}

Check checkingAllocatorDeinit() noexcept {
  Instance old;
  {
    std::lock_guard lock(instance_mutex);
    old = std::exchange(instance, Instance{});
  }
  // Reported after the lock is released: printing a record reads debug information, which must
  // not hold up (or deadlock with) other threads that allocate.
  const bool leaked = reportLeaks(old);
  reclaim(old);
  return leaked ? Check::leak : Check::ok;
}

}  // namespace vesk
