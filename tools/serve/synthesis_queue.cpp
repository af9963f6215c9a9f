#include "serve/synthesis_queue.h"

#include <algorithm>

std::unique_ptr<SynthesisQueue::Ticket> SynthesisQueue::try_enter() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (static_cast<int>(holders_.size()) >= max_waiting_ + parallel_) return nullptr;
  const uint64_t number = next_number_++;
  holders_.push_back(number);
  return std::unique_ptr<Ticket>(new Ticket(*this, number));
}

int SynthesisQueue::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::max(0, static_cast<int>(holders_.size()) - parallel_);
}

int SynthesisQueue::holders() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(holders_.size());
}

void SynthesisQueue::leave(uint64_t number) {
  bool idle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    holders_.remove(number);
    idle = holders_.empty();
  }
  turn_changed_.notify_all();
  if (idle && on_idle_) on_idle_();
}

void SynthesisQueue::Ticket::wait_turn() {
  std::unique_lock<std::mutex> lock(queue_.mutex_);
  queue_.turn_changed_.wait(lock, [this] {
    int ahead = 0;
    for (uint64_t holder : queue_.holders_) {
      if (holder == number_) return true;
      if (++ahead >= queue_.parallel_) return false;
    }
    return false;
  });
}

SynthesisQueue::Ticket::~Ticket() { queue_.leave(number_); }
