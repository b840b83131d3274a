#include "kivo/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "common/virtual_time.h"

namespace {

using kivo::dispatch::Group;
using kivo::dispatch::MainQueue;
using kivo::dispatch::Queue;
using kivo::dispatch::Semaphore;

TEST(MainQueue, PostingIsDeferredEvenFromTheMainQueueAndFifo) {
  kivo::test::VirtualTime time;
  std::vector<int> order;
  Queue::main().async([&] {
    EXPECT_TRUE(Queue::main().isCurrent());
    Queue::main().async([&] { order.push_back(3); });
    order.push_back(1);
  });
  Queue::main().async([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(MainQueue::pump(), 2u);  // the task posted during the pump waits for the next one
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(MainQueue::pump(), 1u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(Queue::main().isCurrent());
}

TEST(MainQueue, PumpFromInsideAMainTaskRunsNothing) {
  kivo::test::VirtualTime time;
  size_t nested = 99;
  Queue::main().async([&] { nested = MainQueue::pump(); });
  Queue::main().async([] {});
  EXPECT_EQ(MainQueue::pump(), 2u);
  EXPECT_EQ(nested, 0u);
}

TEST(MainQueue, RunServesPostersFromManyThreadsInTheirOrderUntilStop) {
  constexpr int kThreads = 4, kPerThread = 200;
  std::vector<int> last(kThreads, -1);
  std::atomic<bool> ordered{true};
  std::atomic<int> remaining{kThreads * kPerThread};
  std::thread mainThread([] { MainQueue::run(); });
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i)
        Queue::main().async([&, t, i] {
          if (!Queue::main().isCurrent() || last[t] != i - 1) ordered = false;
          last[t] = i;
          if (--remaining == 0) MainQueue::stop();
        });
    });
  for (auto& poster : posters) poster.join();
  mainThread.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(remaining.load(), 0);
}

TEST(MainQueue, StopBeforeRunMakesRunReturnAtOnce) {
  MainQueue::stop();
  MainQueue::run();  // returns: the request was pending
  SUCCEED();
}

TEST(MainQueue, WakeHandlerIsCalledOnceUntilTheNextPump) {
  kivo::test::VirtualTime time;
  std::atomic<int> wakes{0};
  MainQueue::setWakeHandler([&] { ++wakes; });
  Queue::main().async([] {});
  Queue::main().async([] {});
  EXPECT_EQ(wakes.load(), 1);
  Queue::main().async([] { Queue::main().async([] {}); });  // posts during the pump
  EXPECT_EQ(MainQueue::pump(), 3u);
  EXPECT_EQ(wakes.load(), 2);  // re-armed: one task still waits
  EXPECT_EQ(MainQueue::pump(), 1u);
  std::thread([] { Queue::main().async([] {}); }).join();
  EXPECT_EQ(wakes.load(), 3);
  MainQueue::setWakeHandler({});
  time.settle();
}

TEST(GlobalQueue, RunsTasksConcurrently) {
  std::latch bothRunning(2);
  Group group;
  for (int i = 0; i < 2; ++i) group.async(Queue::global(), [&] { bothRunning.arrive_and_wait(); });
  group.wait();  // would never return if the two tasks ran one after the other
  SUCCEED();
}

TEST(SerialQueue, RunsOneTaskAtATimeInEachPostersOrder) {
  Queue queue = Queue::serial("kivo-test");
  EXPECT_EQ(queue.label(), "kivo-test");
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<int> last(kThreads, -1);
  std::atomic<int> inside{0};
  std::atomic<bool> ok{true};
  Group group;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i)
        group.async(queue, [&, t, i] {
          if (++inside != 1 || !queue.isCurrent() || last[t] != i - 1) ok = false;
          last[t] = i;
          --inside;
        });
    });
  for (auto& poster : posters) poster.join();
  group.wait();
  EXPECT_TRUE(ok);
  EXPECT_EQ(last, std::vector<int>(kThreads, kPerThread - 1));
}

TEST(SerialQueue, DroppingTheLastHandleLetsQueuedTasksFinish) {
  std::atomic<int> ran{0};
  {
    Queue queue = Queue::serial("kivo-test-drop");
    Semaphore gate;
    queue.async([gate] { gate.wait(); });
    for (int i = 0; i < 100; ++i) queue.async([&] { ++ran; });
    gate.signal();
  }  // joins the thread after the queued tasks
  EXPECT_EQ(ran.load(), 100);
}

TEST(SerialQueue, MayBeDroppedFromOneOfItsOwnTasks) {
  auto holder = std::make_shared<std::optional<Queue>>(Queue::serial("kivo-test-self"));
  Semaphore done;
  std::atomic<bool> afterDropRan{false};
  Semaphore gate;
  (*holder)->async([holder, gate] {
    gate.wait();
    holder->reset();  // the queue's only handle
  });
  (*holder)->async([&, done] {
    afterDropRan = true;
    done.signal();
  });
  holder.reset();
  gate.signal();
  done.wait();
  EXPECT_TRUE(afterDropRan);
}

TEST(Queues, AThrowingTaskIsLoggedAndTheQueueCarriesOn) {
  kivo::test::VirtualTime time;
  kivo::test::LogCapture log;
  Queue serial = Queue::serial("kivo-test-throw");
  std::atomic<int> after{0};
  for (const Queue& queue : {Queue::main(), Queue::global(), serial}) {
    queue.async([] { throw std::runtime_error("boom"); });
    queue.async([] { throw 7; });
    queue.async([&] { ++after; });
  }
  time.settle();
  EXPECT_EQ(after.load(), 3);
  for (const char* label : {"kivo.queue.main", "kivo.queue.global", "kivo-test-throw"}) {
    EXPECT_TRUE(log.contains(std::string("[ERROR] Uncaught exception in a task on queue ") + label + ": boom"));
    EXPECT_TRUE(log.contains(std::string("[ERROR] Uncaught exception in a task on queue ") + label));
  }
}

TEST(Queues, TasksReleaseWhatTheyCaptureOnceRun) {
  kivo::test::VirtualTime time;
  auto object = std::make_shared<int>(1);
  std::weak_ptr<int> watch = object;
  Queue::global().async([object] {});
  Queue::main().async([object] {});
  object.reset();
  EXPECT_FALSE(watch.expired());  // held by the queued tasks
  time.settle();
  EXPECT_TRUE(watch.expired());
}

TEST(Group, NotifiesOnItsQueueOnceAllMembersEnded) {
  kivo::test::VirtualTime time;
  Group group;
  std::atomic<int> done{0};
  std::vector<int> notified;
  for (int i = 0; i < 50; ++i) group.async(Queue::global(), [&] { ++done; });
  group.enter();  // work finishing elsewhere
  group.notify(Queue::main(), [&] {
    EXPECT_TRUE(Queue::main().isCurrent());
    notified.push_back(done.load());
  });
  group.notify(Queue::main(), [&] { notified.push_back(-1); });
  time.settle();
  EXPECT_TRUE(notified.empty());
  std::thread([group] { group.leave(); }).join();
  time.settle();
  EXPECT_EQ(notified, (std::vector<int>{50, -1}));
}

TEST(Group, NotifyWithNothingPendingIsPostedNotRunInline) {
  kivo::test::VirtualTime time;
  Group group;
  bool ran = false;
  group.notify(Queue::main(), [&] { ran = true; });
  EXPECT_FALSE(ran);
  time.settle();
  EXPECT_TRUE(ran);
  group.wait();  // nothing pending: returns
}

TEST(Semaphore, CountsSignalsAcrossThreads) {
  Semaphore semaphore(1);
  EXPECT_TRUE(semaphore.tryWait());
  EXPECT_FALSE(semaphore.tryWait());
  constexpr int kSignals = 1000;
  std::thread producer([semaphore] {
    for (int i = 0; i < kSignals; ++i) semaphore.signal();
  });
  for (int i = 0; i < kSignals; ++i) semaphore.wait();
  producer.join();
  EXPECT_FALSE(semaphore.tryWait());
}

}  // namespace
