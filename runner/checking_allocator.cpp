#include <vesk/checking_allocator.hpp>
#include <vesk/panic.hpp>

#include <link.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include <vesk/log.hpp>
#include "checking_new.hpp"
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

// The linker's marks around the executable's own image: static data lies between them.
extern "C" char __executable_start[];  // NOLINT(bugprone-reserved-identifier)
extern "C" char _end[];                // NOLINT(bugprone-reserved-identifier)

namespace vesk {

namespace {

constexpr std::size_t PAGE_LEN = 4096;
constexpr std::size_t SMALL_MAX = 2048;
constexpr std::size_t CLASS_COUNT = 12;  // slot sizes 1, 2, 4, ... 2048
constexpr std::size_t TRACE_LEN = 10;
// Small slots come from chunks of one size class, mapped on their own and aligned to their
// length, so that the chunk of an address is found from its high bits alone. Chunks are not
// offered as huge pages: where the system zeroes a fresh huge page slowly (a virtual machine
// whose host backs memory lazily, say), that made a case of a million map entries four times
// slower, and the small pages cost nothing measurable on the loops that reuse slots.
constexpr unsigned CHUNK_SHIFT = 21;
constexpr std::size_t CHUNK_LEN = std::size_t{1} << CHUNK_SHIFT;
// Chunks a released instance keeps mapped per size class for the next ones: faulting fresh
// pages in costs more than everything else a small case does.
constexpr std::size_t POOLED_PER_CLASS = 1;
constexpr std::size_t INITIAL_TABLE_CAPACITY = 256;
constexpr std::uint8_t POISON = 0xAA;
constexpr std::uint32_t NO_SLOT = UINT32_MAX;
constexpr std::size_t DEFAULT_QUARANTINE_BYTES = std::size_t{16} << 20;
constexpr const char* QUARANTINE_VARIABLE = "VESK_QUARANTINE_BYTES";
// Leaks are collected under the lock this many at a time and printed without it.
constexpr std::size_t LEAK_BATCH = 64;
// The generation of a large block whose instance was released: no instance holds it.
constexpr std::uint64_t RETIRED = UINT64_MAX;

// ---------------------------------------------------------------------------------------------
// Declarations

/// Up to 10 return addresses of one allocation, free or resize, innermost first.
struct AddressList {
  std::uint8_t len;
  std::array<std::uint64_t, TRACE_LEN> addresses;

  std::span<const std::uint64_t> view() const noexcept { return {addresses.data(), len}; }
};

/// Every distinct stack of the process stored once, by number, so that a record of an allocation
/// or a free costs four bytes. Entries never move or go away: a number handed out under the lock
/// can be printed without it.
class StackDepot {
 public:
  /// The number of `stack`, stored on first sight; 0 (an empty record) when no memory is left.
  std::uint32_t intern(const AddressList& stack) noexcept;
  /// The addresses of a stack `intern` numbered.
  std::span<const std::uint64_t> get(std::uint32_t id) const noexcept;

 private:
  static constexpr std::size_t SEGMENT_WORDS = std::size_t{1} << 17;
  static constexpr std::size_t MAX_SEGMENTS = 4096;

  std::uint64_t* append(std::size_t words, std::uint32_t& id) noexcept;
  bool grow() noexcept;

  std::array<std::uint64_t*, MAX_SEGMENTS> segments_{};
  std::size_t segment_count_ = 0;
  std::size_t used_ = SEGMENT_WORDS;  // words taken from the last segment
  std::uint32_t* table_ = nullptr;    // open addressing over stack numbers, 0 marks empty
  std::size_t capacity_ = 0;
  std::size_t len_ = 0;
};

enum class SlotState : std::uint8_t { live, quarantined, available };

/// What is known about one slot below its chunk's cursor. A freed slot keeps its records until it
/// is handed out again, so every free of it meanwhile is caught as a double free.
struct SlotRecord {
  std::uint32_t allocation;  // stack numbers
  std::uint32_t first_free;  // 0 while live
  std::uint32_t next;        // the chunk's next available slot
  std::uint16_t requested_len;
  std::uint8_t log2_align;
  SlotState state;
};
static_assert(sizeof(SlotRecord) == 16);

/// Who holds a chunk: the running instance, an earlier one (it has leaked blocks), or nobody.
enum class ChunkState : std::uint8_t { in_use, retired, pooled };

/// One mapped chunk of slots of one size class and its records, which live in a mapping of their
/// own, away from the data, so that a write past the end of a slot cannot corrupt them.
struct Chunk {
  std::byte* data;
  SlotRecord* records;
  std::size_t records_capacity;  // slots the records mapping has room for
  Chunk* next;                   // the owner's previous chunk of the class, or the pool's next
  Chunk* next_with_room;
  std::uint32_t slot_count;
  std::uint32_t cursor;  // slots below it have been handed out
  std::uint32_t live;
  std::uint32_t free_head;  // available slots, linked through their records
  std::uint32_t available;
  std::uint8_t class_index;
  ChunkState state;
  bool has_room_listed;

  std::size_t slotLen() const noexcept { return std::size_t{1} << class_index; }
  std::byte* slotData(std::uint32_t s) const noexcept {
    return data + (std::size_t{s} << class_index);
  }
};

/// Which mebibytes of the address space hold the checking allocator's memory: the chunk mapped
/// there, or how many large blocks start there. Read without the lock by operator delete, so that
/// a pointer it does not hold goes to the C library at once; written under the lock.
class OwnerMap {
 public:
  Chunk* chunkAt(std::uintptr_t address) const noexcept;
  bool mayHoldLarge(std::uintptr_t address) const noexcept;
  bool setChunk(std::uintptr_t address, Chunk* chunk) noexcept;
  bool addLarge(std::uintptr_t address) noexcept;
  void removeLarge(std::uintptr_t address) noexcept;

 private:
  static constexpr unsigned LEAF_BITS = 14;
  static constexpr std::size_t LEAF_LEN = std::size_t{1} << LEAF_BITS;
  static constexpr std::size_t TOP_LEN = std::size_t{1} << (47 - CHUNK_SHIFT - LEAF_BITS);
  struct Leaf {
    std::array<std::atomic<Chunk*>, LEAF_LEN> chunks;
    std::array<std::atomic<std::uint32_t>, LEAF_LEN> large;
  };
  Leaf* leaf(std::uintptr_t address) const noexcept;
  Leaf* leafOrNew(std::uintptr_t address) noexcept;

  std::array<std::atomic<Leaf*>, TOP_LEN> leaves_{};
};

/// A live allocation of more than 2048 bytes (or alignment), mapped on its own.
struct LargeBlock {
  std::uintptr_t address;  // where `data` is, the table key; 0 marks an empty table entry
  std::byte* data;
  std::size_t requested_len;
  std::size_t mapped_len;
  std::uint64_t generation;  // of the instance that handed it out
  std::uint32_t allocation;
  std::uint8_t log2_align;
};

/// An open-addressing hash table from an address to an entry, in mapped memory so that the
/// checking allocator never allocates through itself or through the C library.
template <class Entry>
class AddressTable {
 public:
  Entry* find(std::uintptr_t address) noexcept;
  /// Makes sure one more entry fits; false when memory for a larger table cannot be mapped.
  bool reserveOne() noexcept;
  /// Adds `entry`, whose address is not yet in the table; `reserveOne` must have succeeded.
  void insert(const Entry& entry) noexcept;
  /// Removes `entry`, a pointer `find` returned.
  void erase(Entry* entry) noexcept;
  std::span<Entry> entries() noexcept { return {entries_, capacity_}; }

 private:
  std::size_t home(std::uintptr_t address) const noexcept;

  Entry* entries_ = nullptr;
  std::size_t capacity_ = 0;  // zero or a power of two
  std::size_t len_ = 0;
};

/// One freed small slot waiting in the quarantine.
struct Quarantined {
  Chunk* chunk;
  std::uint32_t slot;
};

/// Freed slots in the order they were freed, oldest first, in a mapped ring that doubles.
class QuarantineRing {
 public:
  bool push(Quarantined entry) noexcept;
  Quarantined pop() noexcept;
  bool empty() const noexcept { return len_ == 0; }
  void clear() noexcept { head_ = len_ = 0; }

 private:
  Quarantined* entries_ = nullptr;
  std::size_t capacity_ = 0;  // zero or a power of two
  std::size_t head_ = 0;
  std::size_t len_ = 0;
};

/// A freed slot is held back from reuse until this many bytes (slot and bookkeeping) were freed
/// after it: its own length plus its record and its quarantine entry.
constexpr std::size_t QUARANTINE_OVERHEAD = sizeof(SlotRecord) + sizeof(Quarantined);

struct ClassState {
  Chunk* chunks = nullptr;     // newest first; the head is the one being carved
  Chunk* with_room = nullptr;  // chunks with available slots
  std::size_t chunk_count = 0;
};

/// The state of one instance: the chunks it carves and the slots it may hand out again.
struct Instance {
  std::uint64_t generation = 0;  // 0 between a release and the next fresh instance
  std::array<ClassState, CLASS_COUNT> classes{};
  std::size_t quarantine_bytes = 0;
  std::size_t quarantine_limit = DEFAULT_QUARANTINE_BYTES;
  std::uint64_t live = 0;
  bool out_of_memory_told = false;
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
  std::uint32_t allocation;
  std::uint32_t first_free;  // only for a double free
  std::uint32_t current;
};

/// Up to two diagnostics of one operation (a length and an alignment mismatch can come together).
struct Diagnostics {
  std::size_t len = 0;
  std::array<Diagnostic, 2> items;

  Diagnostic& add() noexcept { return items[len++]; }
};

/// A leak found under the lock and printed after it.
struct Leak {
  const std::byte* block;
  std::uint32_t allocation;
};

/// How a free names its block: through the `Allocator` interface (only the running instance's
/// blocks), or through operator delete (an earlier instance's blocks too; the length unknown
/// unless sized).
struct FreeRequest {
  std::uintptr_t address;
  std::size_t len;
  bool len_known;
  bool ordinary;
  std::uint8_t log2_align;
  std::uint32_t current;
};

/// The whole checking allocator: the running instance and what outlives instances (stacks,
/// chunks with leaked blocks, leaked large blocks). One lock guards it all.
class Heap {
 public:
  void* alloc(std::size_t len, std::uint8_t log2_align, const AddressList& trace) noexcept;
  bool resize(std::span<std::byte> old_mem, std::uint8_t log2_align, std::size_t new_size,
              const AddressList& trace) noexcept;
  void free(std::span<std::byte> old_mem, std::uint8_t log2_align,
            const AddressList& trace) noexcept;
  DeleteOutcome freeOrdinary(void* block, std::size_t len, bool sized, std::uint8_t log2_align,
                             OperatorCall call) noexcept;
  void init() noexcept;
  Check deinit(bool report) noexcept;
  /// The depot's number of `trace`; takes the lock unless this thread numbered it before.
  std::uint32_t stackId(const AddressList& trace) noexcept;

 private:
  void* allocSmall(std::size_t c, std::size_t len, std::uint8_t log2_align,
                   std::uint32_t stack) noexcept;
  void* allocLarge(std::size_t len, std::uint8_t log2_align, std::uint32_t stack) noexcept;
  Chunk* newChunk(std::size_t c) noexcept;
  void releaseChunk(Chunk* chunk) noexcept;
  void quarantine(Chunk* chunk, std::uint32_t s) noexcept;
  void makeAvailable(Chunk* chunk, std::uint32_t s) noexcept;
  void freeSlot(Chunk& chunk, std::uint32_t s, const FreeRequest& request,
                Diagnostics& diagnostics) noexcept;
  bool freeHeld(const FreeRequest& request, std::unique_lock<std::mutex>& lock,
                Diagnostics& diagnostics) noexcept;
  std::uint32_t slotOrStop(const Chunk& chunk, std::uintptr_t address,
                           std::unique_lock<std::mutex>& lock) noexcept;
  std::size_t detach(Instance& old) noexcept;
  bool reportChunkLeaks(Chunk* chunk) noexcept;
  bool reportLargeLeaks(std::uint64_t generation) noexcept;
  void retireLarge(std::uint64_t generation) noexcept;
  void reclaim(Instance& old) noexcept;

  std::mutex mutex_;
  Instance instance_;
  std::uint64_t last_generation_ = 0;
  QuarantineRing ring_;
  StackDepot depot_;
  OwnerMap owners_;
  AddressTable<LargeBlock> large_;
  std::array<Chunk*, CLASS_COUNT> pool_{};
  std::array<std::size_t, CLASS_COUNT> pool_len_{};
  Chunk* spare_descriptors_ = nullptr;
  std::byte* descriptor_area_ = nullptr;
  std::size_t descriptor_area_left_ = 0;

  friend void emit(const Diagnostics& diagnostics) noexcept;
  friend void logLeak(const Leak& leak) noexcept;
};

void* mapBytes(std::size_t len) noexcept;
void unmapBytes(void* address, std::size_t len) noexcept;
std::uint64_t alignmentBytes(std::uint8_t log2_align) noexcept;
AddressList captureFrom(std::uintptr_t ret_addr) noexcept;
AddressList captureAt(OperatorCall call) noexcept;
void emit(const Diagnostics& diagnostics) noexcept;
void logLeak(const Leak& leak) noexcept;
bool isRuntimeLibraryState(std::span<const std::uint64_t> allocation) noexcept;

void* checkingAlloc(void* ctx, std::size_t len, std::uint8_t log2_align,
                    std::uintptr_t ret_addr) noexcept;
bool checkingResize(void* ctx, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
                    std::size_t new_size, std::uintptr_t ret_addr) noexcept;
void checkingFree(void* ctx, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
                  std::uintptr_t ret_addr) noexcept;

constinit Heap heap;
constexpr AllocatorVTable CHECKING_VTABLE{checkingAlloc, checkingResize, checkingFree};

// Whether ordinary new is checked: the case window is open, and this thread is not inside an
// unchecked scope. Read on every operator new.
constinit std::atomic<bool> case_window{false};
constinit thread_local int unchecked_depth = 0;

/// A stack this thread had numbered, kept so that the next allocation or free at the same place
/// finds its number without hashing or the lock: numbers never change.
struct CachedStack {
  AddressList stack;
  std::uint32_t id;
};
struct StackCache {
  std::array<std::uint64_t, 8> innermost;  // each entry's first address, 0 for none, read first
  std::array<CachedStack, 8> entries;
  std::size_t next;  // replaced in turn
};
constinit thread_local StackCache stack_cache{};

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
  return (len + PAGE_LEN - 1) & ~(PAGE_LEN - 1);
}

// `len` bytes (a multiple of the page length) aligned to `align` (a power of two above it): the
// mapping is made larger, then trimmed at both ends.
std::byte* mapAligned(std::size_t len, std::size_t align) noexcept {
  const std::size_t over_len = len + align - PAGE_LEN;
  auto* base = static_cast<std::byte*>(mapBytes(over_len));
  if (base == nullptr) return nullptr;
  const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(base) & (align - 1);
  const std::size_t front = misalignment == 0 ? 0 : align - misalignment;
  unmapBytes(base, front);
  unmapBytes(base + front + len, over_len - front - len);
  return base + front;
}

// Independent products, summed, so that the multiplications overlap; then one mixing step.
std::uint64_t mixStack(std::span<const std::uint64_t> addresses) noexcept {
  std::uint64_t h = addresses.size();
  std::uint64_t k = 0x9E3779B97F4A7C15ull;
  for (std::uint64_t a : addresses) {
    h += a * k;
    k += 0x632BE59BD9B4E019ull;
  }
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 29);
}

bool sameAddresses(std::span<const std::uint64_t> a, const std::uint64_t* b) noexcept {
  std::uint64_t difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    difference |= a[i] ^ b[i];
  return difference == 0;
}

std::uint32_t StackDepot::intern(const AddressList& stack) noexcept {
  const std::span<const std::uint64_t> addresses = stack.view();
  if (addresses.empty()) return 0;
  if ((len_ + 1) * 2 > capacity_ && !grow()) return 0;
  const std::uint64_t h = mixStack(addresses);
  const std::uint64_t header = (h << 8) | addresses.size();
  for (std::size_t i = h & (capacity_ - 1);; i = (i + 1) & (capacity_ - 1)) {
    const std::uint32_t id = table_[i];
    if (id == 0) {
      std::uint32_t fresh = 0;
      std::uint64_t* entry = append(addresses.size() + 1, fresh);
      if (entry == nullptr) return 0;
      entry[0] = header;
      std::copy(addresses.begin(), addresses.end(), entry + 1);
      table_[i] = fresh;
      ++len_;
      return fresh;
    }
    const std::uint64_t* entry = get(id).data() - 1;
    if (entry[0] == header && sameAddresses(addresses, entry + 1)) return id;
  }
}

std::span<const std::uint64_t> StackDepot::get(std::uint32_t id) const noexcept {
  if (id == 0) return {};
  const std::size_t at = id - 1;
  const std::uint64_t* entry = segments_[at / SEGMENT_WORDS] + at % SEGMENT_WORDS;
  return {entry + 1, static_cast<std::size_t>(entry[0] & 0xFF)};
}

std::uint64_t* StackDepot::append(std::size_t words, std::uint32_t& id) noexcept {
  if (used_ + words > SEGMENT_WORDS) {
    if (segment_count_ == MAX_SEGMENTS) return nullptr;
    auto* segment = static_cast<std::uint64_t*>(mapBytes(SEGMENT_WORDS * sizeof(std::uint64_t)));
    if (segment == nullptr) return nullptr;
    segments_[segment_count_++] = segment;
    used_ = 0;
  }
  id = static_cast<std::uint32_t>((segment_count_ - 1) * SEGMENT_WORDS + used_ + 1);
  std::uint64_t* entry = segments_[segment_count_ - 1] + used_;
  used_ += words;
  return entry;
}

bool StackDepot::grow() noexcept {
  const std::size_t new_capacity = capacity_ == 0 ? INITIAL_TABLE_CAPACITY : capacity_ * 2;
  auto* fresh = static_cast<std::uint32_t*>(mapBytes(new_capacity * sizeof(std::uint32_t)));
  if (fresh == nullptr) return false;
  for (std::size_t i = 0; i < capacity_; ++i) {
    if (table_[i] == 0) continue;
    std::size_t j = mixStack(get(table_[i])) & (new_capacity - 1);
    while (fresh[j] != 0)
      j = (j + 1) & (new_capacity - 1);
    fresh[j] = table_[i];
  }
  unmapBytes(table_, capacity_ * sizeof(std::uint32_t));
  table_ = fresh;
  capacity_ = new_capacity;
  return true;
}

OwnerMap::Leaf* OwnerMap::leaf(std::uintptr_t address) const noexcept {
  const std::uintptr_t top = address >> (CHUNK_SHIFT + LEAF_BITS);
  if (top >= TOP_LEN) return nullptr;
  return leaves_[top].load(std::memory_order_acquire);
}

OwnerMap::Leaf* OwnerMap::leafOrNew(std::uintptr_t address) noexcept {
  const std::uintptr_t top = address >> (CHUNK_SHIFT + LEAF_BITS);
  if (top >= TOP_LEN) return nullptr;
  Leaf* found = leaves_[top].load(std::memory_order_relaxed);
  if (found != nullptr) return found;
  // Mapped memory is zero: every entry starts empty.
  auto* fresh = static_cast<Leaf*>(mapBytes(sizeof(Leaf)));
  if (fresh != nullptr) leaves_[top].store(fresh, std::memory_order_release);
  return fresh;
}

Chunk* OwnerMap::chunkAt(std::uintptr_t address) const noexcept {
  const Leaf* l = leaf(address);
  if (l == nullptr) return nullptr;
  return l->chunks[(address >> CHUNK_SHIFT) & (LEAF_LEN - 1)].load(std::memory_order_acquire);
}

bool OwnerMap::mayHoldLarge(std::uintptr_t address) const noexcept {
  const Leaf* l = leaf(address);
  return l != nullptr &&
         l->large[(address >> CHUNK_SHIFT) & (LEAF_LEN - 1)].load(std::memory_order_acquire) != 0;
}

bool OwnerMap::setChunk(std::uintptr_t address, Chunk* chunk) noexcept {
  Leaf* l = leafOrNew(address);
  if (l == nullptr) return false;
  l->chunks[(address >> CHUNK_SHIFT) & (LEAF_LEN - 1)].store(chunk, std::memory_order_release);
  return true;
}

bool OwnerMap::addLarge(std::uintptr_t address) noexcept {
  Leaf* l = leafOrNew(address);
  if (l == nullptr) return false;
  l->large[(address >> CHUNK_SHIFT) & (LEAF_LEN - 1)].fetch_add(1, std::memory_order_release);
  return true;
}

void OwnerMap::removeLarge(std::uintptr_t address) noexcept {
  if (Leaf* l = leafOrNew(address)) {
    l->large[(address >> CHUNK_SHIFT) & (LEAF_LEN - 1)].fetch_sub(1, std::memory_order_release);
  }
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

bool QuarantineRing::push(Quarantined entry) noexcept {
  if (len_ == capacity_) {
    const std::size_t new_capacity =
        capacity_ == 0 ? PAGE_LEN / sizeof(Quarantined) : capacity_ * 2;
    auto* fresh = static_cast<Quarantined*>(mapBytes(new_capacity * sizeof(Quarantined)));
    if (fresh == nullptr) return false;
    for (std::size_t i = 0; i < len_; ++i)
      fresh[i] = entries_[(head_ + i) & (capacity_ - 1)];
    unmapBytes(entries_, capacity_ * sizeof(Quarantined));
    entries_ = fresh;
    capacity_ = new_capacity;
    head_ = 0;
  }
  entries_[(head_ + len_) & (capacity_ - 1)] = entry;
  ++len_;
  return true;
}

Quarantined QuarantineRing::pop() noexcept {
  const Quarantined entry = entries_[head_];
  head_ = (head_ + 1) & (capacity_ - 1);
  --len_;
  return entry;
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

// An operator's frame holds its return address: the walk starts there, with nothing to skip. A
// frame that does not (an operator built without a frame of its own) falls back to the search.
AddressList captureAt(OperatorCall call) noexcept {
  AddressList list;
  list.len = static_cast<std::uint8_t>(walkFrames(call.frame, call.frame, list.addresses));
  // One object returned on every path, built in place: a copy of it made just after the walk's
  // stores cost as much as the walk.
  if (list.len == 0 || list.addresses[0] != call.ret_addr) list = captureFrom(call.ret_addr);
  return list;
}

void emit(const Diagnostics& diagnostics) noexcept {
  // Printing reads debug information; what that allocates is the harness's, not the case's.
  const OrdinaryNewUnchecked harness_work;
  for (std::size_t i = 0; i < diagnostics.len; ++i) {
    const Diagnostic& d = diagnostics.items[i];
    logWith(LogLevel::err, "gpa", [&d](Writer& w) {
      const StackDepot& depot = heap.depot_;
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
          printAddressRecord(w, depot.get(d.allocation));
          w.put(" First free: ");
          printAddressRecord(w, depot.get(d.first_free));
          w.put(" Second free: ");
          printAddressRecord(w, depot.get(d.current));
          return;
      }
      printAddressRecord(w, depot.get(d.allocation));
      const bool is_free =
          d.kind == Diagnostic::Kind::free_size || d.kind == Diagnostic::Kind::free_alignment;
      w.put(is_free ? " Free: " : " Resize: ");
      printAddressRecord(w, depot.get(d.current));
    });
  }
}

void logLeak(const Leak& leak) noexcept {
  logWith(LogLevel::err, "gpa", [&leak](Writer& w) {
    w.put("memory address 0x").hex(reinterpret_cast<std::uintptr_t>(leak.block)).put(" leaked: ");
    printAddressRecord(w, heap.depot_.get(leak.allocation));
  });
}

void logOutOfMemory(std::uint64_t live) noexcept {
  const OrdinaryNewUnchecked harness_work;
  logWith(LogLevel::warn, "gpa", [live](Writer& w) {
    w.put("checking allocator: out of memory after ").dec(live).put(" live allocations");
  });
}

/// The executable code of the C++ runtime library when it is a shared object of its own; empty
/// when it is linked into the executable.
struct CodeRange {
  std::uintptr_t begin = 0;
  std::uintptr_t end = 0;
};

int findRuntimeLibrary(dl_phdr_info* info, std::size_t, void* out) noexcept {
  const std::string_view name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  const std::size_t slash = name.rfind('/');
  if (!name.substr(slash == std::string_view::npos ? 0 : slash + 1).starts_with("libstdc++.so")) {
    return 0;
  }
  auto& range = *static_cast<CodeRange*>(out);
  for (std::size_t i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
    range.begin = info->dlpi_addr + segment.p_vaddr;
    range.end = range.begin + segment.p_memsz;
  }
  return 1;
}

// A block the C++ runtime library allocated in its own code and keeps for the rest of the process
// (the locale's facet caches filled on the first formatted output, say) is its state, not a leak
// of the case that happened to use it first.
bool isRuntimeLibraryState(std::span<const std::uint64_t> allocation) noexcept {
  static const CodeRange RANGE = [] {
    CodeRange found;
    dl_iterate_phdr(findRuntimeLibrary, &found);
    return found;
  }();
  return !allocation.empty() && allocation[0] >= RANGE.begin && allocation[0] < RANGE.end;
}

// ---------------------------------------------------------------------------------------------
// Allocation

std::uint32_t Heap::stackId(const AddressList& trace) noexcept {
  if (trace.len == 0) return 0;
  // Searched whole: the few places a thread allocates and frees at in a loop must never evict
  // each other.
  for (std::size_t i = 0; i < stack_cache.entries.size(); ++i) {
    if (stack_cache.innermost[i] != trace.addresses[0]) continue;
    const CachedStack& cached = stack_cache.entries[i];
    if (cached.stack.len == trace.len &&
        sameAddresses(trace.view(), cached.stack.addresses.data())) {
      return cached.id;
    }
  }
  std::uint32_t id = 0;
  {
    std::lock_guard lock(mutex_);
    id = depot_.intern(trace);
  }
  if (id != 0) {
    stack_cache.entries[stack_cache.next] = CachedStack{trace, id};
    stack_cache.innermost[stack_cache.next] = trace.addresses[0];
    stack_cache.next = (stack_cache.next + 1) % stack_cache.entries.size();
  }
  return id;
}

Chunk* Heap::newChunk(std::size_t c) noexcept {
  Chunk* chunk = pool_[c];
  if (chunk != nullptr) {
    pool_[c] = chunk->next;
    --pool_len_[c];
  } else {
    if (spare_descriptors_ != nullptr) {
      chunk = std::exchange(spare_descriptors_, spare_descriptors_->next);
    } else {
      if (descriptor_area_left_ < sizeof(Chunk)) {
        descriptor_area_ = static_cast<std::byte*>(mapBytes(PAGE_LEN));
        if (descriptor_area_ == nullptr) return nullptr;
        descriptor_area_left_ = PAGE_LEN;
      }
      chunk = reinterpret_cast<Chunk*>(descriptor_area_);
      descriptor_area_ += sizeof(Chunk);
      descriptor_area_left_ -= sizeof(Chunk);
    }
    const auto slot_count = static_cast<std::uint32_t>(CHUNK_LEN >> c);
    const std::size_t records_capacity = std::min<std::size_t>(slot_count, 256);
    std::byte* data = mapAligned(CHUNK_LEN, CHUNK_LEN);
    auto* records =
        static_cast<SlotRecord*>(mapBytes(roundUpToPages(records_capacity * sizeof(SlotRecord))));
    if (data == nullptr || records == nullptr ||
        !owners_.setChunk(reinterpret_cast<std::uintptr_t>(data), chunk)) {
      unmapBytes(data, data == nullptr ? 0 : CHUNK_LEN);
      unmapBytes(records, records == nullptr ? 0 : PAGE_LEN);
      chunk->next = std::exchange(spare_descriptors_, chunk);
      return nullptr;
    }
    *chunk = Chunk{data,
                   records,
                   records_capacity,
                   nullptr,
                   nullptr,
                   slot_count,
                   0,
                   0,
                   NO_SLOT,
                   0,
                   static_cast<std::uint8_t>(c),
                   ChunkState::in_use,
                   false};
  }
  ClassState& cs = instance_.classes[c];
  chunk->state = ChunkState::in_use;
  chunk->next = cs.chunks;
  cs.chunks = chunk;
  ++cs.chunk_count;
  return chunk;
}

// Makes room for the record of the chunk's next uncarved slot, doubling the records mapping.
bool reserveRecord(Chunk& chunk) noexcept {
  if (chunk.cursor < chunk.records_capacity) return true;
  const std::size_t old_len = roundUpToPages(chunk.records_capacity * sizeof(SlotRecord));
  const std::size_t capacity = std::min<std::size_t>(chunk.slot_count, chunk.records_capacity * 2);
  void* moved = ::mremap(chunk.records, old_len, roundUpToPages(capacity * sizeof(SlotRecord)),
                         MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) return false;
  chunk.records = static_cast<SlotRecord*>(moved);
  chunk.records_capacity = capacity;
  return true;
}

void* Heap::allocSmall(std::size_t c, std::size_t len, std::uint8_t log2_align,
                       std::uint32_t stack) noexcept {
  ClassState& cs = instance_.classes[c];
  Chunk* chunk = cs.with_room;
  std::uint32_t s = 0;
  if (chunk != nullptr) {
    s = chunk->free_head;
    chunk->free_head = chunk->records[s].next;
    if (--chunk->available == 0) {
      cs.with_room = chunk->next_with_room;
      chunk->has_room_listed = false;
    }
  } else {
    chunk = cs.chunks;
    if (chunk == nullptr || chunk->cursor == chunk->slot_count) chunk = newChunk(c);
    if (chunk == nullptr || !reserveRecord(*chunk)) return nullptr;
    s = chunk->cursor++;
  }
  chunk->records[s] =
      SlotRecord{stack, 0, NO_SLOT, static_cast<std::uint16_t>(len), log2_align, SlotState::live};
  ++chunk->live;
  std::byte* data = chunk->slotData(s);
  VALGRIND_MAKE_MEM_UNDEFINED(data, len);
  return data;
}

void* Heap::allocLarge(std::size_t len, std::uint8_t log2_align, std::uint32_t stack) noexcept {
  const std::size_t align = std::size_t{1} << log2_align;
  if (len > SIZE_MAX - align - PAGE_LEN) return nullptr;
  // A zero-length request lands here when its alignment is large; it still gets a page.
  const std::size_t mapped_len = roundUpToPages(std::max(len, std::size_t{1}));
  if (!large_.reserveOne()) return nullptr;
  std::byte* data = align <= PAGE_LEN ? static_cast<std::byte*>(mapBytes(mapped_len))
                                      : mapAligned(mapped_len, align);
  if (data == nullptr) return nullptr;
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  if (!owners_.addLarge(address)) {
    unmapBytes(data, mapped_len);
    return nullptr;
  }
  large_.insert(
      LargeBlock{address, data, len, mapped_len, instance_.generation, stack, log2_align});
  VALGRIND_MAKE_MEM_UNDEFINED(data, len);
  return data;
}

void* Heap::alloc(std::size_t len, std::uint8_t log2_align, const AddressList& trace) noexcept {
  // No mapping can be aligned to half the address space or more.
  if (log2_align >= 47) return nullptr;
  const std::size_t align = std::size_t{1} << log2_align;
  // A zero-length request still gets a slot of its own: it is a distinct block that must be
  // freed like any other.
  const std::size_t need = std::max({len, align, std::size_t{1}});
  const std::uint32_t stack = stackId(trace);
  std::unique_lock lock(mutex_);
  void* block = nullptr;
  if (need > SMALL_MAX) {
    block = allocLarge(len, log2_align, stack);
  } else {
    block = allocSmall(static_cast<std::size_t>(std::countr_zero(std::bit_ceil(need))), len,
                       log2_align, stack);
  }
  if (block != nullptr) {
    ++instance_.live;
    return block;
  }
  const bool tell = !std::exchange(instance_.out_of_memory_told, true);
  const std::uint64_t live = instance_.live;
  lock.unlock();
  if (tell) logOutOfMemory(live);
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Freeing

void Heap::makeAvailable(Chunk* chunk, std::uint32_t s) noexcept {
  SlotRecord& record = chunk->records[s];
  record.state = SlotState::available;
  record.next = chunk->free_head;
  chunk->free_head = s;
  ++chunk->available;
  if (!chunk->has_room_listed) {
    ClassState& cs = instance_.classes[chunk->class_index];
    chunk->next_with_room = cs.with_room;
    cs.with_room = chunk;
    chunk->has_room_listed = true;
  }
}

// Holds the slot back from reuse; the oldest slots leave the quarantine while it holds more than
// its bound. Without room for the ring the slot is reusable at once.
void Heap::quarantine(Chunk* chunk, std::uint32_t s) noexcept {
  if (instance_.quarantine_limit == 0 || !ring_.push(Quarantined{chunk, s})) {
    makeAvailable(chunk, s);
    return;
  }
  instance_.quarantine_bytes += chunk->slotLen() + QUARANTINE_OVERHEAD;
  while (instance_.quarantine_bytes > instance_.quarantine_limit && !ring_.empty()) {
    const Quarantined oldest = ring_.pop();
    instance_.quarantine_bytes -= oldest.chunk->slotLen() + QUARANTINE_OVERHEAD;
    makeAvailable(oldest.chunk, oldest.slot);
  }
}

void addDoubleFree(Diagnostics& diagnostics, const SlotRecord& record,
                   std::uint32_t current) noexcept {
  diagnostics.add() = Diagnostic{
      Diagnostic::Kind::double_free, 0, 0, record.allocation, record.first_free, current};
}

// Compares the caller's length and alignment of a live block with its record; each mismatch
// becomes a diagnostic of the given kind (free or resize wording).
void checkBlock(Diagnostics& diagnostics, std::uint64_t recorded_len, std::uint8_t recorded_align,
                std::uint32_t allocation, const FreeRequest& request, Diagnostic::Kind size_kind,
                Diagnostic::Kind alignment_kind) noexcept {
  if (request.len_known && recorded_len != request.len) {
    diagnostics.add() =
        Diagnostic{size_kind, recorded_len, request.len, allocation, 0, request.current};
  }
  if (recorded_align != request.log2_align) {
    diagnostics.add() = Diagnostic{alignment_kind,
                                   alignmentBytes(recorded_align),
                                   alignmentBytes(request.log2_align),
                                   allocation,
                                   0,
                                   request.current};
  }
}

void Heap::freeSlot(Chunk& chunk, std::uint32_t s, const FreeRequest& request,
                    Diagnostics& diagnostics) noexcept {
  SlotRecord& record = chunk.records[s];
  if (record.state != SlotState::live) {
    addDoubleFree(diagnostics, record, request.current);
    return;
  }
  checkBlock(diagnostics, record.requested_len, record.log2_align, record.allocation, request,
             Diagnostic::Kind::free_size, Diagnostic::Kind::free_alignment);
  // The whole slot, whatever length the caller gave: stale reads anywhere in it see 0xAA.
  std::memset(chunk.slotData(s), POISON, chunk.slotLen());
  record.state = SlotState::quarantined;
  record.first_free = request.current;
  --chunk.live;
  // A leaked block of an earlier instance is freed without entering the quarantine: its chunk
  // hands nothing out any more.
  if (chunk.state == ChunkState::in_use) {
    --instance_.live;
    quarantine(&chunk, s);
  }
}

// The slot that `address` names in `chunk`; a pointer inside a slot, or to a slot never handed
// out, stops with "Invalid free" (the lock released first: other threads of the case go on while
// the report prints).
std::uint32_t Heap::slotOrStop(const Chunk& chunk, std::uintptr_t address,
                               std::unique_lock<std::mutex>& lock) noexcept {
  const std::uintptr_t offset = address - reinterpret_cast<std::uintptr_t>(chunk.data);
  const std::size_t s = offset >> chunk.class_index;
  if ((offset & (chunk.slotLen() - 1)) != 0 || s >= chunk.cursor) {
    lock.unlock();
    panic("Invalid free");
  }
  return static_cast<std::uint32_t>(s);
}

// Frees a block the allocator holds; false when it holds none at that address. Blocks of earlier
// instances are held only for operator delete.
bool Heap::freeHeld(const FreeRequest& request, std::unique_lock<std::mutex>& lock,
                    Diagnostics& diagnostics) noexcept {
  if (Chunk* chunk = owners_.chunkAt(request.address)) {
    const bool held = chunk->state == ChunkState::in_use ||
                      (request.ordinary && chunk->state == ChunkState::retired);
    if (!held) return false;
    freeSlot(*chunk, slotOrStop(*chunk, request.address, lock), request, diagnostics);
    return true;
  }
  LargeBlock* block = large_.find(request.address);
  if (block == nullptr || (!request.ordinary && block->generation != instance_.generation)) {
    return false;
  }
  if (block->generation == instance_.generation) {
    // A large block's length is checked with the free wording for both free and resize.
    FreeRequest unaligned = request;
    unaligned.log2_align = block->log2_align;
    checkBlock(diagnostics, block->requested_len, block->log2_align, block->allocation, unaligned,
               Diagnostic::Kind::free_size, Diagnostic::Kind::free_alignment);
    --instance_.live;
  }
  owners_.removeLarge(request.address);
  unmapBytes(block->data, block->mapped_len);
  large_.erase(block);
  return true;
}

void Heap::free(std::span<std::byte> old_mem, std::uint8_t log2_align,
                const AddressList& trace) noexcept {
  Diagnostics diagnostics;
  const FreeRequest request{reinterpret_cast<std::uintptr_t>(old_mem.data()),
                            old_mem.size(),
                            true,
                            false,
                            log2_align,
                            stackId(trace)};
  std::unique_lock lock(mutex_);
  if (!freeHeld(request, lock, diagnostics)) {
    lock.unlock();
    panic("Invalid free");
  }
  lock.unlock();
  emit(diagnostics);
}

bool Heap::resize(std::span<std::byte> old_mem, std::uint8_t log2_align, std::size_t new_size,
                  const AddressList& trace) noexcept {
  const auto address = reinterpret_cast<std::uintptr_t>(old_mem.data());
  Diagnostics diagnostics;
  bool resized = false;
  const FreeRequest request{address, old_mem.size(), true, false, log2_align, stackId(trace)};
  std::unique_lock lock(mutex_);
  Chunk* chunk = owners_.chunkAt(address);
  if (chunk != nullptr && chunk->state == ChunkState::in_use) {
    SlotRecord& record = chunk->records[slotOrStop(*chunk, address, lock)];
    if (record.state != SlotState::live) {
      addDoubleFree(diagnostics, record, request.current);
      lock.unlock();
      emit(diagnostics);
      panic("Unrecoverable double free");
    }
    checkBlock(diagnostics, record.requested_len, record.log2_align, record.allocation, request,
               Diagnostic::Kind::resize_size, Diagnostic::Kind::resize_alignment);
    // The slot is aligned to its own length, so any alignment up to it is kept.
    if (new_size <= chunk->slotLen() && log2_align <= chunk->class_index) {
      const std::size_t old_len = std::min<std::size_t>(
          std::max<std::size_t>(record.requested_len, old_mem.size()), chunk->slotLen());
      if (new_size < old_len) {
        std::memset(old_mem.data() + new_size, POISON, old_len - new_size);
      } else {
        VALGRIND_MAKE_MEM_UNDEFINED(old_mem.data() + old_len, new_size - old_len);
      }
      record.requested_len = static_cast<std::uint16_t>(new_size);
      resized = true;
    }
  } else if (LargeBlock* block = large_.find(address);
             block != nullptr && block->generation == instance_.generation) {
    FreeRequest unaligned = request;
    unaligned.log2_align = block->log2_align;
    checkBlock(diagnostics, block->requested_len, block->log2_align, block->allocation, unaligned,
               Diagnostic::Kind::free_size, Diagnostic::Kind::free_alignment);
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

// The calling thread's stack, looked up once per thread.
bool onOwnStack(std::uintptr_t address) noexcept {
  thread_local std::uintptr_t low = 0;
  thread_local std::uintptr_t high = 0;
  if (high == 0) {
    pthread_attr_t attr;
    if (::pthread_getattr_np(::pthread_self(), &attr) != 0) return false;
    void* base = nullptr;
    std::size_t len = 0;
    ::pthread_attr_getstack(&attr, &base, &len);
    ::pthread_attr_destroy(&attr);
    low = reinterpret_cast<std::uintptr_t>(base);
    high = low + len;
  }
  return address >= low && address < high;
}

DeleteOutcome Heap::freeOrdinary(void* block, std::size_t len, bool sized, std::uint8_t log2_align,
                                 OperatorCall call) noexcept {
  const auto address = reinterpret_cast<std::uintptr_t>(block);
  if (owners_.chunkAt(address) == nullptr && !owners_.mayHoldLarge(address)) {
    const bool never_allocated =
        (address >= reinterpret_cast<std::uintptr_t>(__executable_start) &&
         address < reinterpret_cast<std::uintptr_t>(_end)) ||
        (case_window.load(std::memory_order_relaxed) && onOwnStack(address));
    if (never_allocated) panic("Invalid free");
    return DeleteOutcome::not_held;
  }
  const AddressList trace = captureAt(call);
  Diagnostics diagnostics;
  const FreeRequest request{address, len, sized, true, log2_align, stackId(trace)};
  std::unique_lock lock(mutex_);
  if (!freeHeld(request, lock, diagnostics)) return DeleteOutcome::not_held;
  lock.unlock();
  emit(diagnostics);
  return DeleteOutcome::done;
}

// ---------------------------------------------------------------------------------------------
// Instances

std::size_t quarantineLimit() noexcept {
  const char* text = std::getenv(QUARANTINE_VARIABLE);
  if (text == nullptr) return DEFAULT_QUARANTINE_BYTES;
  const std::string_view value(text);
  std::size_t bytes = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), bytes);
  if (ec == std::errc() && end == value.data() + value.size() && !value.empty()) return bytes;
  const OrdinaryNewUnchecked harness_work;
  logWith(LogLevel::warn, "gpa", [&value](Writer& w) {
    w.put("ignoring ").put(QUARANTINE_VARIABLE).put("='").put(value);
    w.put("': not a number of bytes; the quarantine holds ").dec(DEFAULT_QUARANTINE_BYTES);
  });
  return DEFAULT_QUARANTINE_BYTES;
}

// Gives a chunk without live blocks back: to the pool of its class, or to the system.
void Heap::releaseChunk(Chunk* chunk) noexcept {
  const std::size_t c = chunk->class_index;
  if (pool_len_[c] < POOLED_PER_CLASS) {
    chunk->state = ChunkState::pooled;
    chunk->cursor = chunk->live = chunk->available = 0;
    chunk->free_head = NO_SLOT;
    chunk->has_room_listed = false;
    chunk->next = pool_[c];
    pool_[c] = chunk;
    ++pool_len_[c];
    return;
  }
  owners_.setChunk(reinterpret_cast<std::uintptr_t>(chunk->data), nullptr);
  unmapBytes(chunk->data, CHUNK_LEN);
  unmapBytes(chunk->records, roundUpToPages(chunk->records_capacity * sizeof(SlotRecord)));
  chunk->next = std::exchange(spare_descriptors_, chunk);
}

// Takes the running instance away under the lock: its chunks are an earlier instance's from
// here on, so frees of their blocks meanwhile are those of leaked blocks. Returns how many chunks
// the largest class has.
std::size_t Heap::detach(Instance& old) noexcept {
  old = std::exchange(instance_, Instance{});
  ring_.clear();
  std::size_t most = 0;
  for (ClassState& cs : old.classes) {
    for (Chunk* chunk = cs.chunks; chunk != nullptr; chunk = chunk->next)
      chunk->state = ChunkState::retired;
    most = std::max(most, cs.chunk_count);
  }
  return most;
}

// Logs the live blocks of one chunk of a detached instance, in slot order, collected under the
// lock a batch at a time and printed without it; true when there was one. Blocks the C++ runtime
// library keeps as its own state stay live without a report.
bool Heap::reportChunkLeaks(Chunk* chunk) noexcept {
  bool leaked = false;
  std::array<Leak, LEAK_BATCH> batch;
  for (std::uint32_t s = 0;;) {
    std::size_t n = 0;
    {
      std::lock_guard lock(mutex_);
      if (chunk->live == 0) return leaked;
      for (; s < chunk->cursor && n < batch.size(); ++s) {
        const SlotRecord& record = chunk->records[s];
        if (record.state != SlotState::live) continue;
        if (isRuntimeLibraryState(depot_.get(record.allocation))) continue;
        batch[n++] = Leak{chunk->slotData(s), record.allocation};
      }
    }
    for (std::size_t i = 0; i < n; ++i)
      logLeak(batch[i]);
    leaked |= n != 0;
    if (s >= chunk->cursor) return leaked;
  }
}

bool Heap::reportLargeLeaks(std::uint64_t generation) noexcept {
  bool leaked = false;
  std::array<Leak, LEAK_BATCH> batch;
  for (std::size_t i = 0;;) {
    std::size_t n = 0;
    std::size_t end = 0;
    {
      std::lock_guard lock(mutex_);
      const std::span<LargeBlock> entries = large_.entries();
      end = entries.size();
      for (; i < end && n < batch.size(); ++i) {
        const LargeBlock& block = entries[i];
        if (block.address == 0 || block.generation != generation) continue;
        if (isRuntimeLibraryState(depot_.get(block.allocation))) continue;
        batch[n++] = Leak{block.data, block.allocation};
      }
      if (i >= end) retireLarge(generation);
    }
    for (std::size_t k = 0; k < n; ++k)
      logLeak(batch[k]);
    leaked |= n != 0;
    if (i >= end) return leaked;
  }
}

// The large blocks of a released instance: no instance holds them from here on.
void Heap::retireLarge(std::uint64_t generation) noexcept {
  for (LargeBlock& block : large_.entries()) {
    if (block.address != 0 && block.generation == generation) block.generation = RETIRED;
  }
}

// Chunks without live blocks go back to the pool or the system; chunks with leaked blocks stay
// mapped and untouched, so a late read through a leaked pointer does not fault.
void Heap::reclaim(Instance& old) noexcept {
  std::lock_guard lock(mutex_);
  for (ClassState& cs : old.classes) {
    for (Chunk* chunk = cs.chunks; chunk != nullptr;) {
      Chunk* next = chunk->next;
      if (chunk->live == 0) releaseChunk(chunk);
      chunk = next;
    }
  }
}

void Heap::init() noexcept {
  const std::size_t limit = quarantineLimit();
  static_cast<void>(deinit(false));
  std::lock_guard lock(mutex_);
  instance_.generation = ++last_generation_;
  instance_.quarantine_limit = limit;
}

Check Heap::deinit(bool report) noexcept {
  // Found before the lock is taken: finding it takes the dynamic loader's lock.
  static_cast<void>(isRuntimeLibraryState({}));
  Instance old;
  std::size_t most = 0;
  {
    std::lock_guard lock(mutex_);
    most = detach(old);
  }
  bool leaked = false;
  if (report) {
    // Printing reads debug information; what that allocates is the harness's, not the case's.
    const OrdinaryNewUnchecked harness_work;
    // A case that left no chunk, as most do, needs no area to sort in: no mapping per case.
    const std::size_t sorted_len = roundUpToPages(most * sizeof(Chunk*));
    auto* sorted = most == 0 ? nullptr : static_cast<Chunk**>(mapBytes(sorted_len));
    for (ClassState& cs : old.classes) {
      std::size_t n = 0;
      for (Chunk* chunk = cs.chunks; chunk != nullptr; chunk = chunk->next) {
        if (sorted == nullptr) {
          // No memory to sort in: every leak is still reported, only not in address order.
          leaked |= reportChunkLeaks(chunk);
        } else {
          sorted[n++] = chunk;
        }
      }
      std::sort(sorted, sorted + n,
                [](const Chunk* a, const Chunk* b) { return std::less<>{}(a->data, b->data); });
      for (std::size_t i = 0; i < n; ++i)
        leaked |= reportChunkLeaks(sorted[i]);
    }
    if (sorted != nullptr) unmapBytes(static_cast<void*>(sorted), sorted_len);
    // The large-block table is walked only for an instance that left blocks: most cases leave
    // none, and the table keeps the size of the largest case's.
    if (old.live != 0) leaked |= reportLargeLeaks(old.generation);
  } else if (old.live != 0) {
    std::lock_guard lock(mutex_);
    retireLarge(old.generation);
  }
  reclaim(old);
  return leaked ? Check::leak : Check::ok;
}

// ---------------------------------------------------------------------------------------------
// The allocator operations

void* checkingAlloc(void*, std::size_t len, std::uint8_t log2_align,
                    std::uintptr_t ret_addr) noexcept {
  return heap.alloc(len, log2_align, captureFrom(ret_addr));
}

bool checkingResize(void*, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
                    std::size_t new_size, std::uintptr_t ret_addr) noexcept {
  return heap.resize(old_mem, log2_old_align, new_size, captureFrom(ret_addr));
}

void checkingFree(void*, std::span<std::byte> old_mem, std::uint8_t log2_old_align,
                  std::uintptr_t ret_addr) noexcept {
  heap.free(old_mem, log2_old_align, captureFrom(ret_addr));
}

}  // namespace

Allocator testingAllocator() noexcept {
  return Allocator{&heap, &CHECKING_VTABLE};
}

void checkingAllocatorInit() noexcept {
  heap.init();
}

Check checkingAllocatorDeinit() noexcept {
  return heap.deinit(true);
}

OrdinaryNewUnchecked::OrdinaryNewUnchecked() noexcept {
  ++unchecked_depth;
}

OrdinaryNewUnchecked::~OrdinaryNewUnchecked() {
  --unchecked_depth;
}

void uncheckOrdinaryNewInThisCase() noexcept {
  case_window.store(false, std::memory_order_relaxed);
}

CaseNewChecks::CaseNewChecks() noexcept {
  case_window.store(true, std::memory_order_relaxed);
}

CaseNewChecks::~CaseNewChecks() {
  case_window.store(false, std::memory_order_relaxed);
}

bool ordinaryNewChecked() noexcept {
  return case_window.load(std::memory_order_relaxed) && unchecked_depth == 0;
}

void* checkedNew(std::size_t len, std::uint8_t log2_align, OperatorCall call) noexcept {
  return heap.alloc(len, log2_align, captureAt(call));
}

DeleteOutcome ordinaryDelete(void* block, std::size_t len, bool sized, std::uint8_t log2_align,
                             OperatorCall call) noexcept {
  if (block == nullptr) return DeleteOutcome::done;
  return heap.freeOrdinary(block, len, sized, log2_align, call);
}

}  // namespace vesk
