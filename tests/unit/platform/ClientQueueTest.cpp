// The per-client scheduling alone: real threads, no bus. Each call's request
// says what its run does: "block:<name>" waits until the test opens that gate.

#include "BusService.h"
#include "ClientQueue.h"
#include "ThreadLauncher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

class Object : public BusExportedObject {
public:
    void dispatch(Operation, const std::string&, const BusReply&) override {}
};

// Records what the queue does, and lets a test hold calls at a gate.
class Harness {
public:
    explicit Harness(ClientQueue::Limits limits = {}) : queue_(limits, hooks()) {}
    ~Harness()
    {
        openAll();
        queue_.stop();
        waitUntil([&] { return queue_.workerCount() == 0; });
    }

    ClientQueue& queue() { return queue_; }
    bool send(const std::string& sender, const std::string& request, bool mayWait = false)
    {
        return queue_.arrive(sender, QueuedCall{Operation::IsFilePathWritable, request, mayWait, ++lastToken_});
    }
    void open(const std::string& gate)
    {
        std::lock_guard lock(mutex_);
        opened_.insert(gate);
        changed_.notify_all();
    }
    void openAll()
    {
        std::lock_guard lock(mutex_);
        all_ = true;
        changed_.notify_all();
    }
    // pred takes the queue's lock, which the queue holds while it notifies
    // us, so it runs without ours; a notification that falls between the
    // two costs one short wait.
    template <typename Pred>
    bool waitUntil(Pred pred, std::chrono::milliseconds limit = 5s)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, 10ms);
        }
        return true;
    }
    // Waits until n calls have started running.
    bool started(std::size_t n)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return ran_.size() >= n; });
    }

    std::vector<std::string> ran()
    {
        std::lock_guard lock(mutex_);
        return ran_;
    }
    std::vector<std::pair<std::string, ClientQueue::GiveUp>> givenUp()
    {
        std::lock_guard lock(mutex_);
        return givenUp_;
    }
    std::vector<std::string> forgotten()
    {
        std::lock_guard lock(mutex_);
        return forgotten_;
    }
    int accepted() const { return accepted_; }
    int mostAtOnce() const { return mostAtOnce_; }

    std::atomic<bool> threadsFail{false};
    std::atomic<bool> refuse{false};

private:
    ClientQueue::Hooks hooks()
    {
        ClientQueue::Hooks h;
        h.accept = [this](const std::string&) -> std::shared_ptr<BusExportedObject> {
            if (refuse)
                return nullptr;
            ++accepted_;
            return std::make_shared<Object>();
        };
        h.launch = [this](std::function<void()> body) { return !threadsFail && startSmallThread(std::move(body)); };
        h.run = [this](BusExportedObject&, QueuedCall& call) {
            const int now = ++running_;
            for (int seen = mostAtOnce_; now > seen && !mostAtOnce_.compare_exchange_weak(seen, now);) {
            }
            std::unique_lock lock(mutex_);
            ran_.push_back(call.request);
            changed_.notify_all();
            if (call.request.rfind("block:", 0) == 0) {
                const std::string gate = call.request.substr(6);
                changed_.wait(lock, [&] { return all_ || opened_.count(gate) > 0; });
            }
            --running_;
        };
        h.giveUp = [this](QueuedCall& call, ClientQueue::GiveUp why) {
            std::lock_guard lock(mutex_);
            givenUp_.emplace_back(call.request, why);
            changed_.notify_all();
        };
        h.forgotten = [this](const std::string& sender) {
            std::lock_guard lock(mutex_);
            forgotten_.push_back(sender);
            changed_.notify_all();
        };
        h.settled = [this] {
            std::lock_guard lock(mutex_);
            changed_.notify_all();
        };
        return h;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<std::string> opened_;
    bool all_ = false;
    std::vector<std::string> ran_;
    std::vector<std::pair<std::string, ClientQueue::GiveUp>> givenUp_;
    std::vector<std::string> forgotten_;
    std::atomic<int> accepted_{0}, running_{0}, mostAtOnce_{0};
    std::uint64_t lastToken_ = 0;
    ClientQueue queue_;  // last: its workers use the members above
};

using GiveUps = std::vector<std::pair<std::string, ClientQueue::GiveUp>>;

TEST(ClientQueue, RunsTheCallsOfOneClientInArrivalOrderAndOtherClientsBesideThem)
{
    Harness h;
    h.send(":1.1", "block:a");
    h.send(":1.1", "a2");
    h.send(":1.1", "a3");
    ASSERT_TRUE(h.started(1));
    h.send(":1.2", "b1");
    // b1 runs while a's first call still holds its client's worker.
    ASSERT_TRUE(h.started(2));
    EXPECT_EQ(h.ran(), (std::vector<std::string>{"block:a", "b1"}));
    h.open("a");
    ASSERT_TRUE(h.started(4));
    EXPECT_EQ(h.ran(), (std::vector<std::string>{"block:a", "b1", "a2", "a3"}));
}

TEST(ClientQueue, HoldsCallsThatMayWaitAtTheBoundButNeverTheOthers)
{
    Harness h(ClientQueue::Limits{2, 250ms});
    h.send(":1.1", "block:w", true);
    h.send(":1.2", "block:w", true);
    h.send(":1.3", "third", true);  // over the bound: waits without a thread
    h.send(":1.4", "quick");         // a call that never waits is not held
    ASSERT_TRUE(h.started(3));
    std::vector<std::string> first = h.ran();
    std::sort(first.begin(), first.end());
    EXPECT_EQ(first, (std::vector<std::string>{"block:w", "block:w", "quick"}));
    EXPECT_EQ(h.queue().workerCount(), 3u);
    h.open("w");
    ASSERT_TRUE(h.started(4));
    EXPECT_EQ(h.ran().back(), "third");
    EXPECT_LE(h.mostAtOnce(), 3) << "the bound of 2 waiting calls was passed";
}

TEST(ClientQueue, ForgetsAClientOnceItsWorkerHasLingeredAndAsksAgainForItsObject)
{
    Harness h(ClientQueue::Limits{4096, 30ms});
    h.send(":1.1", "one");
    h.send(":1.1", "two");  // may arrive while "one" runs or while the worker lingers
    ASSERT_TRUE(h.started(2));
    EXPECT_EQ(h.accepted(), 1);
    ASSERT_TRUE(h.waitUntil([&] { return h.queue().empty(); }));
    EXPECT_EQ(h.queue().clientCount(), 0u);
    h.send(":1.1", "three");
    ASSERT_TRUE(h.started(3));
    EXPECT_EQ(h.accepted(), 2);
}

TEST(ClientQueue, GivesBackTheQueuedCallsOfAClientThatLeavesAndForgetsItAfterItsRunningCall)
{
    Harness h;
    h.send(":1.1", "block:r");
    ASSERT_TRUE(h.started(1));
    EXPECT_TRUE(h.send(":1.1", "q1")) << "the first call waiting behind another asks for the departure watch";
    EXPECT_FALSE(h.send(":1.1", "q2")) << "the watch is asked for once";
    h.queue().leave(":1.1");
    EXPECT_EQ(h.givenUp(), (GiveUps{{"q1", ClientQueue::GiveUp::ClientLeft}, {"q2", ClientQueue::GiveUp::ClientLeft}}));
    EXPECT_EQ(h.queue().clientCount(), 1u) << "its running call still holds it";
    h.open("r");
    ASSERT_TRUE(h.waitUntil([&] { return h.queue().empty(); }));
    EXPECT_EQ(h.forgotten(), std::vector<std::string>{":1.1"});
    EXPECT_EQ(h.ran(), std::vector<std::string>{"block:r"});
}

TEST(ClientQueue, AnswersEveryCallOfAClientForWhichNoThreadCanBeMade)
{
    Harness h(ClientQueue::Limits{1, 250ms});
    h.send(":1.1", "block:x", true);
    ASSERT_TRUE(h.started(1));
    // These two wait for the bound; when their turn comes no thread can be
    // made, and neither may be left without an answer.
    h.send(":1.2", "w1", true);
    h.send(":1.2", "w2", true);
    h.send(":1.3", "w3", true);
    h.threadsFail = true;
    h.send(":1.4", "direct");
    h.open("x");
    ASSERT_TRUE(h.waitUntil([&] { return h.givenUp().size() == 4; }));
    EXPECT_EQ(h.givenUp(), (GiveUps{{"direct", ClientQueue::GiveUp::NoThread},
                                    {"w1", ClientQueue::GiveUp::NoThread},
                                    {"w2", ClientQueue::GiveUp::NoThread},
                                    {"w3", ClientQueue::GiveUp::NoThread}}));
    ASSERT_TRUE(h.waitUntil([&] { return h.queue().empty(); }));
}

TEST(ClientQueue, StopGivesBackQueuedCallsAfterTheRunningOneAndRefusesNewOnes)
{
    Harness h(ClientQueue::Limits{1, 250ms});
    h.send(":1.1", "block:s", true);
    h.send(":1.1", "behind");
    h.send(":1.2", "waiting", true);
    ASSERT_TRUE(h.started(1));
    h.queue().stop();
    EXPECT_EQ(h.givenUp(), (GiveUps{{"waiting", ClientQueue::GiveUp::Stopping}}));
    h.send(":1.3", "late");
    EXPECT_EQ(h.givenUp().back(), std::make_pair(std::string("late"), ClientQueue::GiveUp::Stopping));
    h.open("s");
    ASSERT_TRUE(h.waitUntil([&] { return h.queue().workerCount() == 0; }));
    EXPECT_EQ(h.givenUp().back(), std::make_pair(std::string("behind"), ClientQueue::GiveUp::Stopping));
    EXPECT_EQ(h.ran(), std::vector<std::string>{"block:s"});
}

TEST(ClientQueue, RefusesACallOnceItsClientOrAllClientsHaveABoundQueuedAndServesTheOthers)
{
    // Each client first holds its worker ("block:"), so that what it sends
    // next stays queued; once the bound is reached its next call is refused,
    // while another client's call runs as long as the bound in all allows.
    struct Case {
        const char* name;
        ClientQueue::Limits limits;
        std::vector<std::string> calls;  // of :1.1 after its blocking call
        GiveUps refused;                 // of :1.1's calls, then :1.2's "other"
        bool otherRuns;
    };
    // The running bound and linger, then calls and bytes per client and in all.
    auto limits = [](std::size_t perClient, std::size_t perClientBytes, std::size_t all, std::size_t allBytes) {
        return ClientQueue::Limits{4096, 250ms, perClient, perClientBytes, all, allBytes};
    };
    const auto over = ClientQueue::GiveUp::OverLimit;
    const Case cases[] = {
        {"two calls per client", limits(2, 1000, 1000, 1000), {"q1", "q2", "q3", "q4"}, {{"q3", over}, {"q4", over}}, true},
        // 8 bytes are under the bound of 10, so 3 more are taken; then no more.
        {"ten bytes per client", limits(100, 10, 1000, 1000), {"12345678", "123", "x"}, {{"x", over}}, true},
        {"two calls in all", limits(100, 1000, 2, 1000), {"q1", "q2"}, {{"other", over}}, false},
        {"ten bytes in all", limits(100, 1000, 100, 10), {"0123456789"}, {{"other", over}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(c.limits);
        h.send(":1.1", "block:a");
        ASSERT_TRUE(h.started(1));
        for (const std::string& call : c.calls)
            h.send(":1.1", call);
        h.send(":1.2", "other");
        if (c.otherRuns) {
            EXPECT_TRUE(h.started(2));
        }
        EXPECT_EQ(h.givenUp(), c.refused);  // a refusal comes before arrive() returns
        h.open("a");
        ASSERT_TRUE(h.started(1 + c.calls.size() - c.refused.size() + (c.otherRuns ? 1 : 0)));
    }
}

TEST(ClientQueue, RefusedClientsKeepNoState)
{
    Harness h;
    h.refuse = true;
    h.send(":1.1", "no");
    EXPECT_EQ(h.givenUp(), (GiveUps{{"no", ClientQueue::GiveUp::Refused}}));
    EXPECT_TRUE(h.queue().empty());
}

}  // namespace
