#include "kivo/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

namespace {

using kivo::Notification;
using kivo::NotificationCenter;
using kivo::ScopedObserver;

TEST(NotificationCenter, DeliversByNameInOrderOfRegistrationWithThePayload) {
  NotificationCenter center;
  std::vector<std::string> seen;
  auto first = center.addObserver("kivo.error", [&](const Notification& n) {
    seen.push_back("first " + n.userInfo["reason"].get<std::string>() + " " +
                   std::to_string(std::any_cast<int>(n.object)));
  });
  ScopedObserver second(center, "kivo.error", [&](const Notification&) { seen.push_back("second"); });
  ScopedObserver other(center, "kivo.noti.afp.loaded", [&](const Notification&) { seen.push_back("other"); });
  center.post("kivo.error", 501, {{"reason", "start"}});
  EXPECT_EQ(seen, (std::vector<std::string>{"first start 501", "second"}));
  center.removeObserver(first);
  center.removeObserver(first);  // unknown now: ignored
  center.post("kivo.error", 1, {{"reason", "x"}});
  EXPECT_EQ(seen.back(), "second");
  EXPECT_EQ(seen.size(), 3u);
}

TEST(NotificationCenter, ObserversMayAddAndRemoveDuringDelivery) {
  NotificationCenter center;
  std::vector<std::string> seen;
  NotificationCenter::Token self = 0, later = 0;
  self = center.addObserver("n", [&](const Notification&) {
    seen.push_back("self");
    center.removeObserver(self);  // removing itself does not wait for itself
    center.removeObserver(later);
    center.addObserver("n", [&](const Notification&) { seen.push_back("added"); });
  });
  later = center.addObserver("n", [&](const Notification&) { seen.push_back("later"); });
  center.post("n");
  EXPECT_EQ(seen, (std::vector<std::string>{"self"}));
  center.post("n");
  EXPECT_EQ(seen, (std::vector<std::string>{"self", "added"}));
}

TEST(NotificationCenter, RemovalWaitsForACallRunningOnAnotherThread) {
  NotificationCenter center;
  std::latch inside(1);
  std::atomic<bool> release{false}, callFinished{false};
  auto token = center.addObserver("n", [&](const Notification&) {
    inside.count_down();
    while (!release.load()) std::this_thread::yield();
    callFinished = true;
  });
  std::thread poster([&] { center.post("n"); });
  inside.wait();
  std::thread remover([&] {
    center.removeObserver(token);
    EXPECT_TRUE(callFinished.load());  // the running call ended before removal returned
  });
  release = true;
  remover.join();
  poster.join();
}

TEST(NotificationCenter, ConcurrentPostersAndRegistrationsLoseNoDelivery) {
  NotificationCenter center;
  std::atomic<int> stable{0};
  ScopedObserver observer(center, "kivo.error", [&](const Notification&) { ++stable; });
  constexpr int kPosters = 4, kPosts = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kPosters; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kPosts; ++i) center.post("kivo.error");
    });
  threads.emplace_back([&] {
    for (int i = 0; i < kPosts; ++i) {
      std::atomic<int> ignored{0};
      ScopedObserver churn(center, "kivo.error", [&ignored](const Notification&) { ++ignored; });
    }  // each churn observer is gone, and not running, before `ignored` goes away
  });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(stable.load(), kPosters * kPosts);
}

TEST(NotificationCenter, RemovalReleasesTheObserver) {
  NotificationCenter center;
  auto owner = std::make_shared<int>(0);
  std::weak_ptr<int> watch = owner;
  auto token = center.addObserver("n", [owner](const Notification&) {});
  owner.reset();
  EXPECT_FALSE(watch.expired());
  center.removeObserver(token);
  EXPECT_TRUE(watch.expired());
}

}  // namespace
