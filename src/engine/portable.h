// The few things the engine needs that C++20 spells differently per compiler or processor:
// bit scans and the run-time check for SSSE3. Everything else in the engine is standard.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

#if (defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)) && \
    !defined(KWSIEVE_NO_SIMD)
#define KWSIEVE_X86 1
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace kwsieve {

// Set bits of x. Baseline x86-64 has no popcnt instruction, and std::popcount then becomes a
// libgcc call.
inline uint32_t popcount(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
}

// Index of the lowest set bit of x, which must not be 0. Telling the compiler so lets it
// emit the bare scan instruction instead of a test for 0 around it.
template <class T>
constexpr unsigned lowest_bit(T x) {
  static_assert(std::is_unsigned_v<T>);
#if defined(__GNUC__) || defined(__clang__)
  if (x == 0) __builtin_unreachable();
#endif
  return static_cast<unsigned>(std::countr_zero(x));
}

#if defined(KWSIEVE_X86)
namespace detail {

// Asks cpuid rather than the compilers' __builtin_cpu_supports: that reads a table filled
// by the compiler's runtime library, and with some toolchains (Zig's, which the portable
// wheel uses) it reads as empty.
inline bool detect_ssse3() {
#if defined(_MSC_VER) && !defined(__clang__)
  int regs[4];
  __cpuid(regs, 1);
  return (static_cast<unsigned>(regs[2]) >> 9 & 1u) != 0;
#else
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_SSSE3) != 0;
#endif
}

}  // namespace detail

// Whether the processor has SSSE3, asked once when the library loads. A plain flag rather
// than a function-local static: the scan loops then test one byte, with no guard around
// it. (Read before its initialisation, it is false, which only selects the portable path.)
inline const bool kCpuHasSsse3 = detail::detect_ssse3();
inline bool cpu_has_ssse3() { return kCpuHasSsse3; }
#endif

}  // namespace kwsieve
