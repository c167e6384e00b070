#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// A serial task queue with one worker thread of its own. Tasks run one at a
// time, in the order they were queued.
//
// The destructor does not wait: it sets the stop flag, wakes the worker and
// returns. Queued tasks are dropped; a running task finishes on the detached
// worker, which keeps the shared state alive until it leaves.
class DispatchQueue {
 public:
  using Task = std::function<void()>;

  DispatchQueue();
  ~DispatchQueue();

  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  // False, and the task is not queued, once the queue is stopping.
  bool async(Task task);

  // Starts the shutdown that the destructor performs: later async calls are
  // refused and queued tasks are dropped; a running task finishes.
  void stop();

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Task> tasks;  // guarded by mutex
    std::atomic<bool> stop{false};
  };
  static void run(std::shared_ptr<State> state);

  std::shared_ptr<State> state_;
};
