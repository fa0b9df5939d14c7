#include "signal_stack.hpp"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

// A sanitizer runtime linked into the executable defines pthread_create weakly beside its
// interceptor, so the definition at the end of this file takes the interceptor's place and the
// next definition in lookup order is the C library's, which the runtime must not be bypassed for.
// Its interceptor is then reached by its own name; without such a runtime this stays null.
extern "C" int __interceptor_pthread_create(  // NOLINT(bugprone-reserved-identifier): its name
    pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) __attribute__((weak));

namespace vesk {

namespace {

// Large enough to symbolise on: the fault report reads debug information on this stack.
constexpr std::size_t SIGNAL_STACK_SIZE = std::size_t{512} * 1024;

// A mapped stack installed as the calling thread's alternate signal stack, and the one it
// replaced (a sanitizer runtime gives threads a small one of its own).
struct ThreadSignalStack {
  stack_t ours{};
  stack_t previous{};

  ThreadSignalStack() noexcept {
    void* area = ::mmap(nullptr, SIGNAL_STACK_SIZE, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (area == MAP_FAILED) return;
    ours.ss_sp = area;
    ours.ss_size = SIGNAL_STACK_SIZE;
    if (::sigaltstack(&ours, &previous) != 0) {
      ::munmap(area, SIGNAL_STACK_SIZE);
      ours.ss_sp = nullptr;
    }
  }

  // Released only while it is still the thread's: code that replaced it owns what it put there.
  ~ThreadSignalStack() {
    stack_t current{};
    if (ours.ss_sp == nullptr || ::sigaltstack(nullptr, &current) != 0) return;
    if (current.ss_sp != ours.ss_sp) return;
    if ((previous.ss_flags & SS_DISABLE) != 0) {
      previous = stack_t{};
      previous.ss_flags = SS_DISABLE;
    }
    if (::sigaltstack(&previous, nullptr) == 0) ::munmap(ours.ss_sp, SIGNAL_STACK_SIZE);
  }

  ThreadSignalStack(const ThreadSignalStack&) = delete;
  ThreadSignalStack& operator=(const ThreadSignalStack&) = delete;
};

// What a started thread is to run, handed from pthread_create to the thread's first frame.
struct ThreadStart {
  void* (*routine)(void*);
  void* arg;
};

// The thread's first frame: a signal stack for its whole life, released however it ends (a
// return, pthread_exit or cancellation, whose unwinding runs this frame's destructors).
void* startWithSignalStack(void* raw) {
  const ThreadStart start = *static_cast<ThreadStart*>(raw);
  std::free(raw);
  const ThreadSignalStack stack;
  return start.routine(start.arg);
}

using PthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// The C library's pthread_create (or a sanitizer runtime's in front of it).
PthreadCreate nextPthreadCreate() noexcept {
  static std::atomic<PthreadCreate> next{nullptr};
  PthreadCreate found = next.load(std::memory_order_acquire);
  if (found == nullptr) {
    found = &__interceptor_pthread_create != nullptr
                ? &__interceptor_pthread_create
                : reinterpret_cast<PthreadCreate>(::dlsym(RTLD_NEXT, "pthread_create"));
    next.store(found, std::memory_order_release);
  }
  return found;
}

}  // namespace

void giveThreadSignalStack() noexcept {
  // Never destroyed: the main thread's stack stays until the process ends, exit handlers included.
  alignas(ThreadSignalStack) static std::byte storage[sizeof(ThreadSignalStack)];
  static const bool GIVEN = (new (storage) ThreadSignalStack, true);
  static_cast<void>(GIVEN);
}

}  // namespace vesk

// Every thread of a harness executable starts here: the executable's definition comes before the
// C library's, for the code under test and for the standard library alike.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*routine)(void*), void* arg) noexcept {
  const vesk::PthreadCreate next = vesk::nextPthreadCreate();
  if (next == nullptr) return EAGAIN;
  auto* start = static_cast<vesk::ThreadStart*>(std::malloc(sizeof(vesk::ThreadStart)));
  if (start == nullptr) return next(thread, attr, routine, arg);
  *start = vesk::ThreadStart{routine, arg};
  const int result = next(thread, attr, vesk::startWithSignalStack, start);
  if (result != 0) std::free(start);
  return result;
}
