// PagePopulator: which pages its worker maps in, and that it leaves a block alone
// once told to forget it or stopped. Residency is read back with mincore.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <string>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/page_populator.hpp"

namespace vorlane {
namespace {

constexpr std::size_t kPage = 4096;

// A fresh anonymous mapping, unmapped at the end of the test.
struct Mapping {
    explicit Mapping(std::size_t bytes) : size(bytes) {
        void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base = memory == MAP_FAILED ? nullptr : static_cast<char*>(memory);
        // Whole-page requests only, so that no huge page spans the probes.
        if (base != nullptr) ::madvise(base, size, MADV_NOHUGEPAGE);
    }
    ~Mapping() {
        if (base != nullptr) ::munmap(base, size);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    char* base;
    std::size_t size;
};

std::size_t resident_pages(const char* begin, std::size_t bytes) {
    std::vector<unsigned char> flags((bytes + kPage - 1) / kPage);
    if (::mincore(const_cast<char*>(begin), bytes, flags.data()) != 0) return SIZE_MAX;
    std::size_t resident = 0;
    for (unsigned char flag : flags) resident += flag & 1;
    return resident;
}

// Waits (up to a generous bound, for loaded machines) until `pages` pages from
// `begin` are resident; the count then.
std::size_t wait_for_resident(const char* begin, std::size_t pages) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::size_t resident = 0;
    while ((resident = resident_pages(begin, pages * kPage)) < pages &&
           std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return resident;
}

class PagePopulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kernel_can_populate()) GTEST_SKIP() << "this build cannot ask the kernel to populate pages";
    }
};

TEST_F(PagePopulatorTest, MapsInTheLeadAheadOfTheWriterAndNoFurther) {
    Mapping block(64 * kPage * 16);
    ASSERT_NE(block.base, nullptr);
    PagePopulator populator;
    ASSERT_TRUE(populator.start());
    const std::size_t lead = 64 * kPage;
    populator.set_lead(0, lead);
    populator.follow(0, block.base, block.base + block.size);
    EXPECT_EQ(wait_for_resident(block.base, 64), 64u);

    // The writer moves on: the lead moves with it.
    char* const cursor = block.base + 256 * kPage;
    populator.advance(0, cursor);
    EXPECT_EQ(wait_for_resident(cursor, 64), 64u);
    populator.stop();
    // Neither the pages the writer passed over nor those past its lead.
    EXPECT_EQ(resident_pages(block.base + 64 * kPage, 192 * kPage), 0u);
    EXPECT_EQ(resident_pages(cursor + lead, block.size - 320 * kPage), 0u);
}

TEST_F(PagePopulatorTest, LanesFollowTheirOwnBlocks) {
    Mapping first(128 * kPage);
    Mapping second(128 * kPage);
    ASSERT_NE(first.base, nullptr);
    ASSERT_NE(second.base, nullptr);
    PagePopulator populator;
    ASSERT_TRUE(populator.start());
    populator.set_lead(0, 16 * kPage);
    populator.set_lead(2, SIZE_MAX);
    populator.follow(0, first.base, first.base + first.size);
    populator.follow(2, second.base + 64 * kPage, second.base + second.size);
    EXPECT_EQ(wait_for_resident(first.base, 16), 16u);
    EXPECT_EQ(wait_for_resident(second.base + 64 * kPage, 64), 64u);
    populator.stop();
    EXPECT_EQ(resident_pages(first.base + 16 * kPage, 112 * kPage), 0u);
    EXPECT_EQ(resident_pages(second.base, 64 * kPage), 0u);
}

TEST_F(PagePopulatorTest, ForgottenBlockIsLeftAloneAndItsContentsKept) {
    // A block written while the worker maps it in keeps every byte written; once
    // forgotten, freeing it is safe, and the worker goes on with other lanes.
    std::vector<char> expected(32 << 20);
    for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<char>(i * 7 + 3);
    PagePopulator populator;
    ASSERT_TRUE(populator.start());
    populator.set_lead(1, SIZE_MAX);
    for (int round = 0; round < 4; ++round) {
        auto* block = static_cast<char*>(::operator new(expected.size()));
        populator.follow(1, block + expected.size() / 2, block + expected.size());
        std::memcpy(block, expected.data(), expected.size());
        EXPECT_EQ(std::memcmp(block, expected.data(), expected.size()), 0);
        populator.forget(1);
        ::operator delete(block);
    }
    Mapping later(32 * kPage);
    ASSERT_NE(later.base, nullptr);
    populator.follow(1, later.base, later.base + later.size);
    EXPECT_EQ(wait_for_resident(later.base, 32), 32u);
}

// A LaneRelease forgets its lane whichever way its scope ends; the writer's later
// reports on that lane then map nothing in.
TEST_F(PagePopulatorTest, LaneReleaseForgetsTheBlockAtScopeEnd) {
    Mapping block(512 * kPage);
    ASSERT_NE(block.base, nullptr);
    PagePopulator populator;
    ASSERT_TRUE(populator.start());
    populator.set_lead(2, 16 * kPage);
    try {
        LaneRelease release(&populator, 2);
        populator.follow(2, block.base, block.base + block.size);
        ASSERT_EQ(wait_for_resident(block.base, 16), 16u);
        throw std::runtime_error("the writer fails");
    } catch (const std::runtime_error&) {
    }
    populator.advance(2, block.base + 256 * kPage);
    // A report the worker acted on would show within this wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    populator.stop();
    EXPECT_EQ(resident_pages(block.base + 16 * kPage, 496 * kPage), 0u);
}

TEST_F(PagePopulatorTest, StartsOnceAndStopsIdempotently) {
    PagePopulator populator;
    EXPECT_FALSE(populator.running());
    populator.stop();
    ASSERT_TRUE(populator.start());
    EXPECT_TRUE(populator.running());
    EXPECT_FALSE(populator.start());
    populator.stop();
    EXPECT_FALSE(populator.running());
    populator.stop();
}

// The signal mask of each thread of the process but the calling one, from /proc.
std::vector<unsigned long long> other_threads_blocked_signals() {
    std::vector<unsigned long long> masks;
    const std::string own = std::to_string(static_cast<long>(::gettid()));
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return masks;
    while (const dirent* entry = ::readdir(tasks)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == own) continue;
        std::ifstream status("/proc/self/task/" + name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigBlk:", 0) == 0) masks.push_back(std::stoull(line.substr(7), nullptr, 16));
        }
    }
    ::closedir(tasks);
    return masks;
}

TEST_F(PagePopulatorTest, WorkerLeavesSignalsToTheOtherThreads) {
    PagePopulator populator;
    ASSERT_TRUE(populator.start());
    const std::vector<unsigned long long> masks = other_threads_blocked_signals();
    populator.stop();
    ASSERT_EQ(masks.size(), 1u);
    for (int signal_number : {SIGINT, SIGTERM, SIGUSR1, SIGALRM, SIGCHLD}) {
        EXPECT_NE(masks[0] & (1ULL << (signal_number - 1)), 0u) << "signal " << signal_number;
    }
    // The calling thread's own mask is as it was.
    sigset_t own;
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &own), 0);
    EXPECT_EQ(sigismember(&own, SIGINT), 0);
}

TEST(CoreShareTest, LeavesACoreForAWorkerOnlyWhileCallsAreFewerThanCores) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::unique_ptr<CoreShare>> calls;
    for (unsigned index = 0; index < cores + 1; ++index) {
        calls.push_back(std::make_unique<CoreShare>());
        // The call itself takes one core; a worker needs another.
        EXPECT_EQ(calls.back()->claim(), index + 2 <= cores) << "call " << index;
        // Claiming again counts nothing more.
        EXPECT_EQ(calls.back()->claim(), index + 2 <= cores) << "call " << index;
    }
    // Calls that end, by release or by going, free their cores.
    calls.front()->release();
    calls.erase(calls.begin() + 1, calls.end());
    CoreShare next;
    EXPECT_EQ(next.claim(), cores >= 2);
}

}  // namespace
}  // namespace vorlane
