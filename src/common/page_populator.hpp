// A worker thread that maps in the pages of a block a little ahead of the thread
// writing it, so that the writer finds its pages present instead of taking a fault
// (and the kernel's clearing of the page) on each. On a machine with a second core
// the faults of a large document then cost the reader nothing.
//
// The worker only ever asks the kernel to populate pages the owner has handed it; it
// never reads or writes them, so the owner's data is untouched whatever the timing.
// It populates at most `lead` bytes past the owner's last reported position, so the
// memory it maps in ahead of need stays small. Blocks handed to it must stay mapped
// until stop() returns.
#pragma once
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "common/prefault.hpp"

namespace vorlane {

// A condition variable over std::mutex's own pthread mutex. std::condition_variable
// would do, but its wait is a libstdc++ symbol newer than the oldest runtime the
// module's wheels promise to load on.
class MutexCondition {
public:
    MutexCondition() noexcept { pthread_cond_init(&condition_, nullptr); }
    MutexCondition(const MutexCondition&) = delete;
    MutexCondition& operator=(const MutexCondition&) = delete;
    ~MutexCondition() { pthread_cond_destroy(&condition_); }

    // With `lock` held; it is held again on return, spurious wake-ups included.
    void wait(std::unique_lock<std::mutex>& lock) noexcept {
        pthread_cond_wait(&condition_, lock.mutex()->native_handle());
    }
    void notify_one() noexcept { pthread_cond_signal(&condition_); }
    void notify_all() noexcept { pthread_cond_broadcast(&condition_); }

private:
    pthread_cond_t condition_;
};

class PagePopulator {
public:
    // Each lane follows one block at a time: a document may have more than one
    // growing store being written at once.
    static constexpr std::size_t kLanes = 3;

    PagePopulator() noexcept = default;
    PagePopulator(const PagePopulator&) = delete;
    PagePopulator& operator=(const PagePopulator&) = delete;
    ~PagePopulator() { stop(); }

    // Starts the worker; false (and nothing happens later) when no thread can be had.
    // The worker blocks every signal, so that a signal meant for the process (Ctrl-C
    // interrupting a blocked read, say) reaches a thread that can act on it.
    bool start() noexcept {
        if (!kernel_can_populate() || worker_.joinable()) return false;
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        if (pthread_sigmask(SIG_SETMASK, &all, &previous) != 0) return false;
        bool started = true;
        try {
            worker_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            started = false;
        } catch (const std::bad_alloc&) {
            started = false;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return started;
    }

    [[nodiscard]] bool running() const noexcept { return worker_.joinable(); }

    // How far ahead of its writer `lane` maps pages in (nothing until this is set).
    void set_lead(std::size_t lane, std::size_t lead) noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        lanes_[lane].lead = lead;
    }

    // From now on `lane` follows the block [begin, end), whose writer starts at
    // `begin`; the block the lane followed before is left as it is.
    void follow(std::size_t lane, char* begin, char* end) noexcept {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            Lane& followed = lanes_[lane];
            followed.populated = begin;
            followed.cursor = begin;
            followed.end = end;
        }
        wake_.notify_one();
    }

    // `lane` stops following its block and, once this returns, touches it no more:
    // for a block about to be freed.
    void forget(std::size_t lane) noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        Lane& forgotten = lanes_[lane];
        forgotten.populated = forgotten.cursor = forgotten.end = nullptr;
        while (busy_lane_ == lane) done_.wait(lock);
    }

    // The writer of the block `lane` follows has reached `cursor`. Ignored for a lane
    // that follows no block (never told to, or forgotten).
    void advance(std::size_t lane, char* cursor) noexcept {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            Lane& advanced = lanes_[lane];
            if (advanced.end == nullptr) return;
            if (cursor > advanced.cursor) advanced.cursor = cursor;
        }
        wake_.notify_one();
    }

    // Ends the worker and waits for it; its last request finishes first.
    void stop() noexcept {
        if (!worker_.joinable()) return;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        worker_.join();
    }

private:
    // Populating a range at a time bounds how long the worker holds on to a request
    // the writer has already overtaken, and lets the lanes take turns.
    static constexpr std::size_t kStep = std::size_t{256} << 10;

    struct Lane {
        char* populated = nullptr;
        char* cursor = nullptr;
        char* end = nullptr;
        std::size_t lead = 0;
    };

    void run() noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            char* from = nullptr;
            char* to = nullptr;
            for (std::size_t index = 0; index < kLanes; ++index) {
                Lane& lane = lanes_[index];
                char* const target = static_cast<std::size_t>(lane.end - lane.cursor) > lane.lead
                                         ? lane.cursor + lane.lead
                                         : lane.end;
                // Pages the writer has already reached are left to it.
                char* const first = std::max(lane.populated, lane.cursor);
                if (first >= target) continue;
                from = first;
                to = static_cast<std::size_t>(target - first) > kStep ? first + kStep : target;
                lane.populated = to;
                busy_lane_ = index;
                break;
            }
            if (from == nullptr) {
                wake_.wait(lock);
                continue;
            }
            lock.unlock();
            prefault_for_writing(from, static_cast<std::size_t>(to - from));
            lock.lock();
            busy_lane_ = kLanes;
            done_.notify_all();
        }
    }

    std::mutex mutex_;
    MutexCondition wake_;
    MutexCondition done_;  // a request has finished
    Lane lanes_[kLanes];
    std::size_t busy_lane_ = kLanes;  // the lane of the request being carried out, if any
    bool stopping_ = false;
    std::thread worker_;
};

// Has `lane` of `populator` (when there is one) forget its block as the scope ends,
// whichever way it ends: for the writer of a block that may be freed once it
// returns, thrown or not. The block is written by then, so nothing is lost.
class LaneRelease {
public:
    LaneRelease(PagePopulator* populator, std::size_t lane) noexcept : populator_(populator), lane_(lane) {}
    LaneRelease(const LaneRelease&) = delete;
    LaneRelease& operator=(const LaneRelease&) = delete;
    ~LaneRelease() {
        if (populator_ != nullptr) populator_->forget(lane_);
    }

private:
    PagePopulator* populator_;
    std::size_t lane_;
};

// The size of block from which a worker's help outweighs starting its thread.
inline constexpr std::size_t kPopulatorWorthBytes = std::size_t{1} << 20;

// Maps in the `size` bytes at `block` before they are written from end to end: the
// first `front` bytes here, the rest meanwhile by `lane` of `populator` when one runs
// (that lane's lead must cover the rest), all of them here otherwise. The front a
// writer should take is what it would fill in the time the worker maps the rest in.
inline void prefault_split(char* block, std::size_t size, std::size_t front, PagePopulator* populator,
                           std::size_t lane) noexcept {
    if (populator == nullptr || !populator->running()) {
        prefault_for_writing(block, size);
        return;
    }
    populator->follow(lane, block + front, block + size);
    prefault_for_writing(block, front);
}

// prefault_split with the front half here: for writers that fill memory about as
// fast as pages are mapped in (copies and encoders).
inline void prefault_in_halves(char* block, std::size_t size, PagePopulator* populator, std::size_t lane) noexcept {
    prefault_split(block, size, size / 2, populator, lane);
}

// Counts the large calls in progress in the process, so that a call starts a page
// populator only when a core is left for it: while other large calls keep every
// core busy, a worker would only take time from them, and each call takes its page
// faults in place. Counted from claim() until release() or destruction.
class CoreShare {
public:
    CoreShare() noexcept = default;
    CoreShare(const CoreShare&) = delete;
    CoreShare& operator=(const CoreShare&) = delete;
    ~CoreShare() { release(); }

    // Counts this call (once); true when, with it, fewer calls run than there are cores.
    bool claim() noexcept {
        if (!claimed_) {
            others_ = in_progress_.fetch_add(1, std::memory_order_relaxed);
            claimed_ = true;
        }
        return others_ + 1 < processor_count();
    }
    void release() noexcept {
        if (claimed_) in_progress_.fetch_sub(1, std::memory_order_relaxed);
        claimed_ = false;
    }

private:
    static unsigned processor_count() noexcept {
        static const unsigned count = std::max(1u, std::thread::hardware_concurrency());
        return count;
    }
    static inline std::atomic<unsigned> in_progress_{0};
    unsigned others_ = 0;
    bool claimed_ = false;
};

}  // namespace vorlane
