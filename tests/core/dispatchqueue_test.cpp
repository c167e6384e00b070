#include "DispatchQueue/DispatchQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(DispatchQueue, RunsTasksOneAtATimeInQueueOrder) {
  DispatchQueue q;
  std::mutex m;
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::promise<void> done;

  // Three threads queue in turn: the queue order is known, the threads are real.
  for (int producer = 0; producer < 3; ++producer) {
    std::thread([&, producer] {
      for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(q.async([&, producer, i] {
          if (running.fetch_add(1) != 0) overlapped = true;
          std::this_thread::sleep_for(1ms);
          {
            std::lock_guard<std::mutex> lock(m);
            order.push_back(producer * 10 + i);
          }
          running.fetch_sub(1);
        }));
      }
    }).join();
  }
  q.async([&] { done.set_value(); });
  ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready);

  std::vector<int> expected;
  for (int producer = 0; producer < 3; ++producer)
    for (int i = 0; i < 5; ++i) expected.push_back(producer * 10 + i);
  EXPECT_EQ(order, expected);
  EXPECT_FALSE(overlapped);
}

TEST(DispatchQueue, TasksRunOnTheQueuesOwnThread) {
  DispatchQueue q;
  std::promise<std::thread::id> id;
  q.async([&] { id.set_value(std::this_thread::get_id()); });
  auto f = id.get_future();
  ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
  EXPECT_NE(f.get(), std::this_thread::get_id());
}

TEST(DispatchQueue, DestructionDoesNotWaitAndDropsQueuedTasks) {
  auto release = std::make_shared<std::promise<void>>();
  auto started = std::make_shared<std::promise<void>>();
  auto ranLater = std::make_shared<std::atomic<bool>>(false);
  auto finished = std::make_shared<std::promise<void>>();
  auto finishedFuture = finished->get_future();
  {
    DispatchQueue q;
    std::shared_future<void> gate = release->get_future().share();
    q.async([=] {
      started->set_value();
      gate.wait();
      finished->set_value();
    });
    q.async([=] { *ranLater = true; });
    ASSERT_EQ(started->get_future().wait_for(30s), std::future_status::ready);
    // q is destroyed here while its worker is blocked in the first task.
  }
  release->set_value();
  // The running task finishes on the detached worker...
  ASSERT_EQ(finishedFuture.wait_for(30s), std::future_status::ready);
  // ...and the queued one never runs.
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(*ranLater);
}

TEST(DispatchQueue, AsyncOnceStoppingReturnsFalseAndNeverRuns) {
  DispatchQueue q;
  auto ran = std::make_shared<std::atomic<bool>>(false);
  q.stop();  // what the destructor does first
  EXPECT_FALSE(q.async([ran] { *ran = true; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(*ran);
}

}  // namespace
