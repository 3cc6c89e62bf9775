#include <gtest/gtest.h>

#include "core/runtime/platform.hpp"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif
#if VORN_LINUX_CALLS
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "core/runtime/worker_pool.hpp"

namespace vorn {
namespace {

struct Call {
    std::size_t begin;
    std::size_t end;
    std::thread::id thread;
};

// Records every range a task is given.
struct Recorder {
    std::mutex mutex;
    std::vector<Call> calls;
    std::vector<std::atomic<int>> visits;

    explicit Recorder(std::size_t n) : visits(n) {}

    void operator()(std::size_t begin, std::size_t end) noexcept {
        for (std::size_t i = begin; i < end; ++i) visits[i].fetch_add(1);
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back({begin, end, std::this_thread::get_id()});
    }
};

class RunSplit : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RunSplit, EveryItemRunsExactlyOnceInContiguousRanges) {
    std::size_t n = GetParam();
    for (int round = 0; round < 20; ++round) {
        Recorder recorder(n);
        run_split(n, recorder);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(recorder.visits[i].load(), 1) << "item " << i;
        std::sort(recorder.calls.begin(), recorder.calls.end(),
                  [](const Call& a, const Call& b) { return a.begin < b.begin; });
        std::size_t next = 0;
        for (const Call& c : recorder.calls) {
            ASSERT_EQ(c.begin, next);
            ASSERT_LT(c.begin, c.end);
            next = c.end;
        }
        ASSERT_EQ(next, n);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, RunSplit, ::testing::Values(0, 1, 2, 3, 5, 8, 17, 64, 1000));

TEST(RunSplit, SingleItemRunsOnTheCallingThread) {
    Recorder recorder(1);
    run_split(1, recorder);
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls[0].thread, std::this_thread::get_id());
}

TEST(RunSplit, OneCallingThreadWorkerRunsEverythingInPlaceInOneRange) {
    {
        CallingThreadWorkers one(1);
        Recorder recorder(1000);
        run_split(1000, recorder);
        ASSERT_EQ(recorder.calls.size(), 1u);
        EXPECT_EQ(recorder.calls[0].begin, 0u);
        EXPECT_EQ(recorder.calls[0].end, 1000u);
        EXPECT_EQ(recorder.calls[0].thread, std::this_thread::get_id());
    }
    EXPECT_EQ(calling_thread_workers(), 0u);  // the scope restored the default
    std::thread other([] { EXPECT_EQ(calling_thread_workers(), 0u); });  // and it is per thread
    other.join();
}

// The budget starts at the worker count and halves at each split, so a long list ends in
// 2^(floor(log2(workers)) + 1) ranges, and a short one in single items.
TEST(RunSplit, SplitBudgetLimitsTheNumberOfRanges) {
    std::size_t workers = worker_count();
    ASSERT_GE(workers, 1u);
    std::size_t levels = 0;
    for (std::size_t b = workers; b > 0; b /= 2) ++levels;
    std::size_t ranges = std::size_t{1} << levels;

    Recorder large(1000);
    run_split(1000, large);
    EXPECT_EQ(large.calls.size(), ranges);

    Recorder small(3);
    run_split(3, small);
    EXPECT_EQ(small.calls.size(), std::min<std::size_t>(3, ranges));
}

// Item 0 holds the calling thread until item 1 has started, which only a worker can do. The wait
// is bounded so that a broken pool fails the test instead of hanging it.
bool second_half_runs_on_a_worker() {
    std::mutex mutex;
    std::condition_variable cv;
    bool second_started = false;
    std::thread::id second_thread;
    auto task = [&](std::size_t begin, std::size_t end) noexcept {
        for (std::size_t i = begin; i < end; ++i) {
            std::unique_lock<std::mutex> lock(mutex);
            if (i == 1) {
                second_started = true;
                second_thread = std::this_thread::get_id();
                cv.notify_all();
            } else {
                cv.wait_for(lock, std::chrono::seconds(30), [&] { return second_started; });
            }
        }
    };
    run_split(2, task);
    return second_started && second_thread != std::this_thread::get_id();
}

TEST(RunSplit, WorkersTakeOfferedHalves) { EXPECT_TRUE(second_half_runs_on_a_worker()); }

TEST(RunSplit, ResultsStayInItemOrderWhateverFinishesFirst) {
    const std::size_t n = 33;
    for (int round = 0; round < 10; ++round) {
        std::vector<std::size_t> slots(n, 0);
        auto task = [&](std::size_t begin, std::size_t end) noexcept {
            for (std::size_t i = begin; i < end; ++i) {
                // Early items take longest, so later ranges tend to finish first.
                std::this_thread::sleep_for(std::chrono::microseconds((n - i) * 20));
                slots[i] = i * i + 1;
            }
        };
        run_split(n, task);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(slots[i], i * i + 1);
    }
}

// Frames computed from several threads at once share the one pool.
TEST(RunSplit, ConcurrentCallersShareThePool) {
    std::vector<std::thread> callers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&failures] {
            for (int round = 0; round < 50; ++round) {
                Recorder recorder(40);
                run_split(40, recorder);
                for (auto& v : recorder.visits) {
                    if (v.load() != 1) failures.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(failures.load(), 0);
}

#if !defined(_WIN32)
// A forked child has none of its parent's worker threads; it must get a working pool of its own.
TEST(RunSplit, ChildOfForkGetsWorkingWorkers) {
    ASSERT_GE(worker_count(), 1u);  // the parent's pool exists before the fork
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(120);  // a hung child dies instead of hanging the test
        bool ok = second_half_runs_on_a_worker();
        Recorder recorder(100);
        run_split(100, recorder);
        for (auto& v : recorder.visits) ok = ok && v.load() == 1;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // And the parent's pool still works.
    EXPECT_TRUE(second_half_runs_on_a_worker());
}

#endif

#if VORN_LINUX_CALLS
// The pool sizes itself from the processors the process may run on, not the machine's count: a
// child pinned to one processor builds a pool of one worker.
TEST(RunSplit, PoolFollowsTheAffinityMask) {
    ASSERT_GE(worker_count(), 1u);
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(120);
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) != 0) _exit(2);
        int first = 0;
        while (!CPU_ISSET(first, &set)) ++first;
        CPU_ZERO(&set);
        CPU_SET(first, &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0) _exit(3);
        bool ok = available_processors() == 1 && worker_count() == 1 && second_half_runs_on_a_worker();
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

#endif

}  // namespace
}  // namespace vorn
