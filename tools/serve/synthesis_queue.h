// Up to `parallel` syntheses at a time per model (which shares its decode
// steps among them), in arrival order, with a bounded number of requests
// waiting. A request takes a ticket before any work; holding the ticket keeps
// its place, and dropping it (at any point) gives the place up.
#pragma once

#include <condition_variable>
#include <functional>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

class SynthesisQueue {
 public:
  class Ticket {
   public:
    ~Ticket();
    Ticket(const Ticket &) = delete;
    Ticket &operator=(const Ticket &) = delete;
    // Blocks until fewer than `parallel` earlier tickets are held.
    void wait_turn();

   private:
    friend class SynthesisQueue;
    Ticket(SynthesisQueue &queue, uint64_t number) : queue_(queue), number_(number) {}
    SynthesisQueue &queue_;
    uint64_t number_;
  };

  explicit SynthesisQueue(int max_waiting, int parallel = 1)
      : max_waiting_(max_waiting), parallel_(parallel < 1 ? 1 : parallel) {}

  // A place in the queue, or nullptr when max_waiting requests already wait
  // behind the ones in progress.
  std::unique_ptr<Ticket> try_enter();

  // Requests holding a ticket behind the ones whose turn it is.
  int waiting() const;
  // Requests holding a ticket, those in progress included.
  int holders() const;
  int parallel() const { return parallel_; }
  // Called, outside the queue's lock, each time the last ticket is given up.
  void on_idle(std::function<void()> callback) { on_idle_ = std::move(callback); }

 private:
  void leave(uint64_t number);

  const int max_waiting_;
  const int parallel_;
  mutable std::mutex mutex_;
  std::condition_variable turn_changed_;
  std::list<uint64_t> holders_;
  uint64_t next_number_ = 0;
  std::function<void()> on_idle_;
};
