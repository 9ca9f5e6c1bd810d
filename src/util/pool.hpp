#pragma once
// The process-wide worker pool.
//
// Started lazily on the first parallel call with one worker per processor
// this process may use (the affinity mask and a cgroup CPU quota), or
// RAYON_NUM_THREADS when that is set to a positive number. A forked child
// starts without workers and creates its own on first use. The caller takes
// part in its own job, so nested calls from a worker cannot deadlock, and
// every task writes its own result slot, so a parallel run equals a serial
// one bit for bit.
#include <cstddef>
#include <functional>

namespace velotz {

// Number of threads that run a job (the workers plus the caller), >= 1.
std::size_t pool_threads();

// Runs task(i) for every i in [0, n) and returns when all have finished.
// Tasks may run in any order and on any thread; with a single thread or
// n <= 1 they run inline on the caller.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& task);

// Splits [0, n) into contiguous chunks of at least `min_chunk` items and
// runs chunk(begin, end) for each, in parallel.
void parallel_chunks(std::size_t n, std::size_t min_chunk,
                     const std::function<void(std::size_t, std::size_t)>& chunk);

}  // namespace velotz
