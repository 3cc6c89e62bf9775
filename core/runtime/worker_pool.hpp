#pragma once
// The process-wide pool of worker threads that computes the panels of a frame in parallel.
//
// One pool per process, created on first use with one worker per processor the process may run
// on, and kept until the process ends. A child created by fork() abandons its parent's pool and
// builds a fresh one when it first needs it.
#include <cstddef>

namespace vorn {

// Work on the items [begin, end) of a list, one after another in list order. The callee must not
// throw: it runs on worker threads, where an escaping exception would end the process.
struct RangeTask {
    void (*run)(void* context, std::size_t begin, std::size_t end) noexcept;
    void* context;
};

// The number of workers of the pool, creating it if needed (0 when no thread could be started).
std::size_t worker_count();

// The number of processors in this process's CPU affinity mask (at least 1).
std::size_t available_processors();

// The most pool workers run_split may use for work started on the calling thread: 0 (the default)
// for the whole pool, 1 to run everything on the calling thread. Batch jobs that each run on a
// thread of their own set 1, so that N jobs keep N cores busy instead of N times the pool.
void set_calling_thread_workers(std::size_t workers);
std::size_t calling_thread_workers();

// Sets the calling thread's limit for the lifetime of the scope, then restores the previous one.
class CallingThreadWorkers {
public:
    explicit CallingThreadWorkers(std::size_t workers) : previous_(calling_thread_workers()) {
        set_calling_thread_workers(workers);
    }
    ~CallingThreadWorkers() { set_calling_thread_workers(previous_); }
    CallingThreadWorkers(const CallingThreadWorkers&) = delete;
    CallingThreadWorkers& operator=(const CallingThreadWorkers&) = delete;

private:
    std::size_t previous_;
};

// Runs `task` over the items [0, count) and returns when all are done. A single item runs on the
// calling thread. More are split into halves recursively, each right half offered to the pool
// while the calling side goes on with the left; the split budget starts at the worker count and
// halves at each split, and a range that can no longer be split runs in list order. A half that
// no worker has taken is taken back by the side that offered it.
void run_split(std::size_t count, RangeTask task);

// Convenience form for a callable `f(begin, end)` that does not throw.
template <class F>
void run_split(std::size_t count, F& f) {
    run_split(count, RangeTask{[](void* context, std::size_t begin, std::size_t end) noexcept {
                                   (*static_cast<F*>(context))(begin, end);
                               },
                               &f});
}

}  // namespace vorn
