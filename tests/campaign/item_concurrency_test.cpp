#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "kivo/item.h"

namespace {

TEST(KIVOItem, ThreadsReadingSubitemsFirstShareOneList) {
  nlohmann::json items = nlohmann::json::array();
  for (int i = 0; i < 64; ++i) items.push_back({{"_id", std::to_string(i)}, {"rel", i == 40 ? "main" : "other"}});
  for (int round = 0; round < 20; ++round) {
    const auto set = kivo::KIVOItem::initWithDictionary({{"items", items}});
    constexpr int kThreads = 4;
    std::latch start(kThreads);
    const std::vector<kivo::KIVOItem>* seen[kThreads] = {};
    std::string main[kThreads];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        kivo::KIVOItem copy = set;
        start.arrive_and_wait();
        seen[t] = &copy.subitems();
        main[t] = copy.mainPromotionItem()->identifier()->get<std::string>();
      });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
      EXPECT_EQ(seen[t], &set.subitems());
      EXPECT_EQ(main[t], "40");
    }
    EXPECT_EQ(set.subitems().size(), 64u);
  }
}

}  // namespace
