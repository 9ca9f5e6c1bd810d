#include "util/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velotz {
namespace {

// CPUs allowed by a cgroup v2 (cpu.max) or v1 (cfs quota) limit, or 0.
std::size_t cgroup_cpu_limit() {
    auto ceil_div = [](double quota, double period) -> std::size_t {
        if (quota <= 0 || period <= 0) return 0;
        return static_cast<std::size_t>(std::max(1.0, std::ceil(quota / period)));
    };
    {
        std::ifstream f("/sys/fs/cgroup/cpu.max");
        std::string quota;
        double period = 0;
        if (f >> quota >> period && quota != "max") return ceil_div(std::atof(quota.c_str()), period);
    }
    {
        std::ifstream q("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
        std::ifstream p("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
        double quota = 0, period = 0;
        if (q >> quota && p >> period && quota > 0) return ceil_div(quota, period);
    }
    return 0;
}

std::size_t available_cpus() {
    std::size_t n = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) n = static_cast<std::size_t>(CPU_COUNT(&set));
    if (n == 0) n = std::max(1u, std::thread::hardware_concurrency());
    std::size_t limit = cgroup_cpu_limit();
    if (limit > 0) n = std::min(n, limit);
    return std::max<std::size_t>(n, 1);
}

std::size_t configured_threads() {
    if (const char* env = std::getenv("RAYON_NUM_THREADS")) {
        char* end = nullptr;
        unsigned long long v = std::strtoull(env, &end, 10);
        if (end != env && *end == '\0' && v > 0 && v < 4096) return static_cast<std::size_t>(v);
    }
    return available_cpus();
}

// One parallel_for call. Lives on the caller's stack; workers only touch it
// while holding the pool mutex or while running a task they claimed, and the
// caller waits for every claimed task before returning.
struct Job {
    const std::function<void(std::size_t)>* task;
    std::size_t n;
    std::size_t next = 0;      // guarded by the pool mutex
    std::size_t finished = 0;  // guarded by the pool mutex
    std::exception_ptr error;  // the first task's exception; guarded by the pool mutex
    std::condition_variable done;
};

// True on a thread while it runs a task of a parallel_for job: a nested
// parallel_for from inside a task runs inline on that thread. An outer job
// that already spreads independent work over every thread (a batch of fits)
// then keeps each of its tasks on one thread instead of interleaving the
// inner job's small tasks with the outer ones.
thread_local bool t_in_task = false;

// Runs one task of a job with t_in_task set; an exception is kept for the
// caller rather than ending the thread (and the process) it was thrown on.
void run_task(Job& job, std::size_t i, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    std::exception_ptr error;
    const bool outer = t_in_task;
    t_in_task = true;
    try {
        (*job.task)(i);
    } catch (...) {
        error = std::current_exception();
    }
    t_in_task = outer;
    lock.lock();
    if (error && !job.error) job.error = error;
}

class Pool {
public:
    // Starts up to threads - 1 workers. A worker that cannot be started (a
    // process or memory limit) is not an error: the pool runs with those it
    // got, at worst with the caller alone.
    explicit Pool(std::size_t threads) : threads_(1) {
        for (std::size_t i = 0; i + 1 < threads; ++i) {
            try {
                std::thread t([this] { work(); });
                t.detach();  // workers live until the process exits
            } catch (...) {
                break;
            }
            ++threads_;
        }
    }

    std::size_t threads() const { return threads_; }

    // Runs every task of the job and rethrows the first exception a task
    // threw, once no task of the job is running any more.
    void run(Job& job) {
        std::unique_lock<std::mutex> lock(mutex_);
        queue_.push_back(&job);
        wake_.notify_all();
        // The caller works on its own job until every index is claimed.
        while (job.next < job.n) {
            std::size_t i = job.next++;
            if (job.next == job.n) remove(&job);
            run_task(job, i, lock);
            ++job.finished;
        }
        job.done.wait(lock, [&] { return job.finished == job.n; });
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    void remove(Job* job) {
        auto it = std::find(queue_.begin(), queue_.end(), job);
        if (it != queue_.end()) queue_.erase(it);
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !queue_.empty(); });
            Job* job = queue_.front();
            std::size_t i = job->next++;
            if (job->next == job->n) remove(job);
            run_task(*job, i, lock);
            if (++job->finished == job->n) job->done.notify_all();
        }
    }

    std::size_t threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job*> queue_;
};

std::mutex g_init_mutex;
Pool* g_pool = nullptr;  // never destroyed: workers may outlive static destructors
std::once_flag g_atfork_once;

void forget_pool_in_child() {
    // The parent's workers do not exist in the child, and the mutexes may be
    // held by threads that are gone: leak the old pool and start afresh.
    new (&g_init_mutex) std::mutex();
    g_pool = nullptr;
}

Pool& pool() {
    std::call_once(g_atfork_once, [] { pthread_atfork(nullptr, nullptr, forget_pool_in_child); });
    std::lock_guard<std::mutex> lock(g_init_mutex);
    if (!g_pool) g_pool = new Pool(configured_threads());
    return *g_pool;
}

}  // namespace

std::size_t pool_threads() { return pool().threads(); }

void parallel_for(std::size_t n, const std::function<void(std::size_t)>& task) {
    if (n == 0) return;
    if (n == 1 || t_in_task) {
        for (std::size_t i = 0; i < n; ++i) task(i);
        return;
    }
    Pool& p = pool();
    if (p.threads() <= 1) {
        for (std::size_t i = 0; i < n; ++i) task(i);
        return;
    }
    Job job;
    job.task = &task;
    job.n = n;
    p.run(job);
}

void parallel_chunks(std::size_t n, std::size_t min_chunk,
                     const std::function<void(std::size_t, std::size_t)>& chunk) {
    if (n == 0) return;
    min_chunk = std::max<std::size_t>(min_chunk, 1);
    std::size_t threads = pool_threads();
    // A few chunks per thread balance uneven progress without much hand-off.
    std::size_t chunks = std::min(threads * 4, (n + min_chunk - 1) / min_chunk);
    chunks = std::max<std::size_t>(chunks, 1);
    std::size_t size = (n + chunks - 1) / chunks;
    chunks = (n + size - 1) / size;
    parallel_for(chunks, [&](std::size_t c) {
        std::size_t begin = c * size;
        chunk(begin, std::min(n, begin + size));
    });
}

}  // namespace velotz
