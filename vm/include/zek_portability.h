#pragma once
// The one place for compiler-specific syntax: attributes, builtins and symbol visibility. The
// rest of the code says what it means (ZEK_PRINTF_LIKE, ZEK_NOINLINE, zek_bswap32) and a new
// compiler needs only this file.
#include <cstdint>

#if defined(__GNUC__) || defined(__clang__)
// The function takes a printf format as argument f and its values from argument a on.
#define ZEK_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
// Kept out of line: a cold path that must not bloat its caller's fast path.
#define ZEK_NOINLINE __attribute__((noinline))
// Always in line: a hot path whose locals must stay in the caller's registers.
#define ZEK_ALWAYS_INLINE inline __attribute__((always_inline))
// Label addresses (&&label) and jumps through them (goto *p).
#define ZEK_HAS_LABEL_ADDRESSES 1
// Asks for the cache line at p ahead of a store to it; p must point into an object.
#define ZEK_PREFETCH_FOR_WRITE(p) __builtin_prefetch((p), 1, 3)
#elif defined(_MSC_VER)
#define ZEK_PRINTF_LIKE(f, a)
#define ZEK_NOINLINE __declspec(noinline)
#define ZEK_ALWAYS_INLINE __forceinline
#define ZEK_HAS_LABEL_ADDRESSES 0
#define ZEK_PREFETCH_FOR_WRITE(p) ((void)(p))
#else
#define ZEK_PRINTF_LIKE(f, a)
#define ZEK_NOINLINE
#define ZEK_ALWAYS_INLINE inline
#define ZEK_HAS_LABEL_ADDRESSES 0
#define ZEK_PREFETCH_FOR_WRITE(p) ((void)(p))
#endif

// Visibility of exported functions: everything else is hidden by the build. On Windows the
// declaration depends on who compiles it:
//   ZEK_STATIC     a program or library that links the VM library statically (zekvm, the
//                  tests): plain functions, neither exported nor imported;
//   ZEK_EXPORTS_BY_LIST  the sources of one of our DLLs whose export table is made from its
//                  list of exports (a module-definition file): plain functions too;
//   neither        a user of one of our DLLs (a test frame): the functions are imported.
#if defined(_WIN32)
#if defined(ZEK_STATIC) || defined(ZEK_EXPORTS_BY_LIST)
#define ZEK_VISIBLE
#else
#define ZEK_VISIBLE __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define ZEK_VISIBLE __attribute__((visibility("default")))
#else
#define ZEK_VISIBLE
#endif

// Byte order reversal of one value.
inline uint32_t zek_bswap32(uint32_t v) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap32(v);
#else
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
#endif
}

inline uint64_t zek_bswap64(uint64_t v) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(v);
#else
  return ((uint64_t)zek_bswap32((uint32_t)v) << 32) | zek_bswap32((uint32_t)(v >> 32));
#endif
}

// A byte that a signal handler or another thread sets while the program reads it: each load
// and store is whole and unordered (a plain byte access on every target), and the compiler
// makes every one of them, also in a loop.
inline uint8_t zek_relaxedLoad(const uint8_t *p) {
#if defined(__GNUC__) || defined(__clang__)
  return __atomic_load_n(p, __ATOMIC_RELAXED);
#else
  return *(const volatile uint8_t *)p;
#endif
}

inline void zek_relaxedStore(uint8_t *p, uint8_t v) {
#if defined(__GNUC__) || defined(__clang__)
  __atomic_store_n(p, v, __ATOMIC_RELAXED);
#else
  *(volatile uint8_t *)p = v;
#endif
}
