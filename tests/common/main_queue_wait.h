// Waiting for work done on plain threads (the network thread, a netlink reader): the test thread
// pumps the main queue until a condition holds, and fails when a real-time limit passes first.
#pragma once

#include <chrono>
#include <functional>

namespace kivo::test {

// Pumps the main queue until done() holds; false once limit has passed without it. done() is
// checked on this thread after each pump and whenever main-queue work arrives (at least every
// few milliseconds, for conditions that change off the main queue).
bool pumpMainUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace kivo::test
