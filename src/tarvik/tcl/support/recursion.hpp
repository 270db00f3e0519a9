// The guard that turns deep or self-referencing values into RecursionError instead of a
// stack overflow: the interpreter's own count, and the real stack address where it is known.
#pragma once

#include "errors.hpp"

#include <algorithm>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace tarvik {

namespace detail {

// The stack kept free below the deepest conversion level: room for what runs between two checks
// (one conversion level, and a Python hook it calls with the interpreter frame and C calls that
// brings) and for raising the RecursionError and unwinding. Measured, that takes up to 4 KiB in
// an optimised build and up to 16 KiB with AddressSanitizer; the margins are twice that. On a
// stack too small for the margin, half of it stays free.
#if defined(__SANITIZE_ADDRESS__)
#define TARVIK_LARGE_FRAMES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARVIK_LARGE_FRAMES 1
#endif
#endif
#if !defined(TARVIK_LARGE_FRAMES) && !defined(__OPTIMIZE__)
#define TARVIK_LARGE_FRAMES 1
#endif
#if defined(TARVIK_LARGE_FRAMES)
inline constexpr size_t stack_margin = size_t(32) << 10;
#else
inline constexpr size_t stack_margin = size_t(8) << 10;
#endif

// The lowest address the C stack of the calling thread may reach before a conversion refuses to
// nest deeper. The count that Py_EnterRecursiveCall keeps is not enough on its own: on Python
// 3.11 it follows sys.setrecursionlimit, so a raised limit lets deep nesting run off the end of
// the stack; and on any version a thread with a small stack, or a build whose frames are larger
// (sanitizers), runs out before the count does. The margin is fixed, not a share of the stack:
// on the smallest thread stack Python allows (32 KiB) a share large enough to matter would leave
// no room for the conversion itself. Where the stack's bounds are unknown, nesting is capped at
// the depth that Python 3.13 itself allows C code.
class StackLimit {
  public:
    bool exhausted() noexcept {
#if defined(__linux__)
        if (floor_ == 0) [[unlikely]]
            floor_ = find_floor();
        return current_address() < floor_;
#else
        return depth_ >= 10000;
#endif
    }
    // Only counted where the bounds are unknown: elsewhere the stack address says it all.
    void enter() noexcept {
#if !defined(__linux__)
        ++depth_;
#endif
    }
    void leave() noexcept {
#if !defined(__linux__)
        --depth_;
#endif
    }

  private:
#if defined(__linux__)
    [[gnu::noinline, gnu::cold]] static uintptr_t find_floor() noexcept {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return 1;
        void* lowest = nullptr;
        size_t size = 0;
        int status = pthread_attr_getstack(&attr, &lowest, &size);
        pthread_attr_destroy(&attr);
        if (status != 0 || size == 0) return 1;  // unknown: never exhausted
        return reinterpret_cast<uintptr_t>(lowest) + std::min(stack_margin, size / 2);
    }

    // The frame itself, even where a sanitizer moves local variables off the stack.
    [[gnu::always_inline]] static uintptr_t current_address() noexcept {
        return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    }

    uintptr_t floor_ = 0;  // 0: not looked up yet in this thread
#else
    int depth_ = 0;
#endif
};

// Constant-initialised, so reading it costs no per-access initialisation check.
inline thread_local StackLimit stack_limit;

}  // namespace detail

// Py_EnterRecursiveCall as a scope, so deep or self-referencing values raise RecursionError
// instead of overflowing the C stack, also where the interpreter's own count would let them.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) raise_current();
        detail::StackLimit& limit = detail::stack_limit;
        if (limit.exhausted()) {
            Py_LeaveRecursiveCall();
            raise_format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        }
        limit.enter();
    }
    ~RecursionGuard() {
        detail::stack_limit.leave();
        Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace tarvik
