#include "core/runtime/worker_pool.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "core/runtime/platform.hpp"

namespace vorn {
namespace {

// One offered half: lives on the stack of the thread that offered it until that thread has seen
// it done, so queueing never allocates.
struct Job {
    enum class State : std::uint8_t { Queued, Running, Done };

    RangeTask task;
    std::size_t begin;
    std::size_t end;
    std::size_t budget;
    Job* prev = nullptr;
    Job* next = nullptr;
    State state = State::Queued;
};

class Pool {
public:
    explicit Pool(std::size_t wanted_workers) { start_workers(wanted_workers); }

    // Never destroyed: detached workers wait on its members until the process ends.
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t workers() const { return workers_; }

    void split(const RangeTask& task, std::size_t begin, std::size_t end, std::size_t budget) {
        if (end - begin < 2 || budget == 0) {
            task.run(task.context, begin, end);
            return;
        }
        budget /= 2;
        std::size_t mid = begin + (end - begin) / 2;
        Job right{task, mid, end, budget};
        offer(right);
        split(task, begin, mid, budget);
        join(right);
    }

private:
    void start_workers(std::size_t wanted) {
        // Workers block every signal, so signals keep going to the application's own threads.
        struct Start {
            Pool* pool;
            std::size_t wanted;
        } start{this, wanted};
        platform::with_signals_blocked(
            [](void* context) noexcept {
                Start& s = *static_cast<Start*>(context);
                for (std::size_t i = 0; i < s.wanted; ++i) {
                    try {
                        std::thread(&Pool::work, s.pool).detach();
                        ++s.pool->workers_;
                    } catch (const std::system_error&) {
                        break;  // Fewer threads than processors: the pool runs with what it got.
                    } catch (const std::bad_alloc&) {
                        break;
                    }
                }
            },
            &start);
    }

    void offer(Job& job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job.state = Job::State::Queued;
            job.prev = tail_;
            job.next = nullptr;
            if (tail_ != nullptr) tail_->next = &job;
            else head_ = &job;
            tail_ = &job;
        }
        // Wake everyone: idle workers and threads waiting in join() all take queued work.
        changed_.notify_all();
    }

    void unlink_locked(Job& job) {
        if (job.prev != nullptr) job.prev->next = job.next;
        else head_ = job.next;
        if (job.next != nullptr) job.next->prev = job.prev;
        else tail_ = job.prev;
        job.prev = job.next = nullptr;
        job.state = Job::State::Running;
    }

    // The oldest queued job (the largest ranges were offered first), marked running.
    Job* take_locked() {
        Job* job = head_;
        if (job != nullptr) unlink_locked(*job);
        return job;
    }

    void run_taken(Job& job) {
        split(job.task, job.begin, job.end, job.budget);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job.state = Job::State::Done;
        }
        // The offering thread may return and drop the job as soon as the lock is released; only
        // the pool's own members are touched from here on.
        changed_.notify_all();
    }

    void join(Job& job) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (job.state == Job::State::Queued) {
            // Nobody took it: do it here.
            unlink_locked(job);
            lock.unlock();
            split(job.task, job.begin, job.end, job.budget);
            return;
        }
        // A worker runs it; help with other queued work until it is done.
        while (job.state != Job::State::Done) {
            if (Job* other = take_locked()) {
                lock.unlock();
                run_taken(*other);
                lock.lock();
                continue;
            }
            changed_.wait(lock);
        }
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return head_ != nullptr; });
            Job* job = take_locked();
            lock.unlock();
            run_taken(*job);
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    Job* head_ = nullptr;
    Job* tail_ = nullptr;
    std::size_t workers_ = 0;
};

// The pool of this process. A fork() child finds it null again: the parent's workers do not exist
// there and its queue may be mid-change, so the child leaves that memory alone and starts anew.
std::atomic<Pool*> process_pool{nullptr};
std::mutex creation_mutex;
bool fork_handlers_installed = false;

// Held across fork() so the child never inherits a creation half done by another thread.
void before_fork() { creation_mutex.lock(); }
void after_fork_in_parent() { creation_mutex.unlock(); }
void after_fork_in_child() {
    process_pool.store(nullptr, std::memory_order_relaxed);
    creation_mutex.unlock();
}

// The pool, created on first use; null when not even the pool object could be allocated.
Pool* the_pool() {
    Pool* pool = process_pool.load(std::memory_order_acquire);
    if (pool != nullptr) return pool;
    std::lock_guard<std::mutex> lock(creation_mutex);
    pool = process_pool.load(std::memory_order_relaxed);
    if (pool != nullptr) return pool;
    if (!fork_handlers_installed) {
        fork_handlers_installed = platform::on_fork(before_fork, after_fork_in_parent, after_fork_in_child);
    }
    pool = new (std::nothrow) Pool(available_processors());
    process_pool.store(pool, std::memory_order_release);
    return pool;
}

}  // namespace

std::size_t available_processors() { return platform::available_processors(); }

namespace {
thread_local std::size_t calling_thread_limit = 0;
}  // namespace

void set_calling_thread_workers(std::size_t workers) { calling_thread_limit = workers; }
std::size_t calling_thread_workers() { return calling_thread_limit; }

std::size_t worker_count() {
    Pool* pool = the_pool();
    return pool != nullptr ? pool->workers() : 0;
}

void run_split(std::size_t count, RangeTask task) {
    if (count == 0) return;
    if (count == 1) {
        task.run(task.context, 0, 1);
        return;
    }
    // One worker means the calling thread alone: the pool is not even created.
    if (calling_thread_limit == 1) {
        task.run(task.context, 0, count);
        return;
    }
    Pool* pool = the_pool();
    if (pool == nullptr || pool->workers() == 0) {
        task.run(task.context, 0, count);
        return;
    }
    std::size_t budget = pool->workers();
    if (calling_thread_limit != 0 && calling_thread_limit < budget) budget = calling_thread_limit;
    pool->split(task, 0, count, budget);
}

}  // namespace vorn
