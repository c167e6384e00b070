#include "DispatchQueue/DispatchQueue.h"

#include <thread>

DispatchQueue::DispatchQueue() : state_(std::make_shared<State>()) {
  std::thread(&DispatchQueue::run, state_).detach();
}

DispatchQueue::~DispatchQueue() { stop(); }

void DispatchQueue::stop() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop = true;
  }
  state_->cv.notify_all();
}

bool DispatchQueue::async(Task task) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->stop) return false;
    state_->tasks.push_back(std::move(task));
  }
  state_->cv.notify_one();
  return true;
}

void DispatchQueue::run(std::shared_ptr<State> state) {
  while (!state->stop) {
    Task task;
    {
      std::unique_lock<std::mutex> lock(state->mutex);
      state->cv.wait(lock, [&] { return state->stop || !state->tasks.empty(); });
      if (state->stop) break;
      task = std::move(state->tasks.front());
      state->tasks.pop_front();
    }
    if (task) task();
  }
  // Drop what was never run while the state is still ours alone to touch.
  std::lock_guard<std::mutex> lock(state->mutex);
  state->tasks.clear();
}
