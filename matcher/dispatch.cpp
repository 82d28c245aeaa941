// Which vector width the kernels run with: the widest one the CPU has, unless a test asks
// for a narrower one; and the one place that picks their table from it.

#include <atomic>

#include "matcher/dispatch.h"
#include "matcher/simd/kernel_table.h"

namespace ondrel::internal {

namespace {
std::atomic<int> g_limit_bits{0};  // 0: no limit
std::atomic<bool> g_popcount_allowed{true};

int cpu_width_bits() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq"))
    return 512;
  if (__builtin_cpu_supports("avx2")) return 256;
#endif
  return 128;
}

bool cpu_lane_popcount() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  return __builtin_cpu_supports("avx512vpopcntdq");
#else
  return false;
#endif
}
}  // namespace

int simd_width_bits() {
  const int cpu = cpu_width_bits(), limit = g_limit_bits.load();
  return limit > 0 && limit < cpu ? limit : cpu;
}

void ondrel_testing_limit_simd(int bits) { g_limit_bits.store(bits); }

bool lane_popcount() { return simd_width_bits() == 512 && cpu_lane_popcount() && g_popcount_allowed.load(); }

void ondrel_testing_allow_lane_popcount(bool allowed) { g_popcount_allowed.store(allowed); }

const simd::KernelTable& simd::kernel_table() {
#if defined(ONDREL_SIMD_X86)
  switch (simd_width_bits()) {
    case 512: return lane_popcount() ? avx512_popcount::kTable : avx512::kTable;
    case 256: return avx2::kTable;
    default: break;
  }
#endif
  return baseline::kTable;
}

}  // namespace ondrel::internal
