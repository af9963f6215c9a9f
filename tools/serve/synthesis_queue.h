// One synthesis at a time per model, in arrival order, with a bounded number
// of requests waiting. A request takes a ticket before any work; holding the
// ticket keeps its place, and dropping it (at any point) gives the place up.
#pragma once

#include <condition_variable>
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
    // Blocks until every earlier ticket has been dropped.
    void wait_turn();

   private:
    friend class SynthesisQueue;
    Ticket(SynthesisQueue &queue, uint64_t number) : queue_(queue), number_(number) {}
    SynthesisQueue &queue_;
    uint64_t number_;
  };

  explicit SynthesisQueue(int max_waiting) : max_waiting_(max_waiting) {}

  // A place in the queue, or nullptr when max_waiting requests already wait
  // behind the one in progress.
  std::unique_ptr<Ticket> try_enter();

  // Requests holding a ticket behind the first one.
  int waiting() const;
  // Requests holding a ticket, the one in progress included.
  int holders() const;

 private:
  void leave(uint64_t number);

  const int max_waiting_;
  mutable std::mutex mutex_;
  std::condition_variable turn_changed_;
  std::list<uint64_t> holders_;
  uint64_t next_number_ = 0;
};
