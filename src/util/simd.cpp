#include "util/simd.hpp"

namespace velotz::simd {

int best_level() {
#if VELOTZ_X86_DISPATCH
    // Also called from a static initialiser, before the CPU model is set up.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) return kAvx512;
    if (__builtin_cpu_supports("avx2")) return kAvx2;
#endif
    return kBaseline;
}

std::atomic<int> current_level{best_level()};

int use_level(int level) {
    const int best = best_level();
    const int chosen = level < 0 || level > best ? best : level;
    current_level.store(chosen, std::memory_order_relaxed);
    return chosen;
}

}  // namespace velotz::simd
