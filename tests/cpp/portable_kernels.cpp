// The circuit kernels compiled once more for the baseline instruction set
// only, in namespace velotz::portable_kernels: the copy that runs on a
// processor without AVX2, for comparing with the copy chosen at run time.
#define VELOTZ_SIMD_BASELINE_ONLY
#define kernels portable_kernels
#include "../../src/circuit/kernels.cpp"
