// The blocking first-in-first-out queue through which producers hand heap
// objects to one consumer thread. The queue never owns what its items point
// to: a popped item belongs to the consumer, and items still queued when the
// queue is destroyed belong to the queue's owner.
#pragma once

#include <cstddef>
#include <deque>

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

class CEventQueue {
 public:
  typedef void* Item;

  CEventQueue() = default;
  CEventQueue(const CEventQueue&) = delete;
  CEventQueue& operator=(const CEventQueue&) = delete;

  // Appends at the back and wakes the consumer. Pushing onto a shut-down
  // queue still stores the item; it is never handed out.
  void Push(Item item);
  // Takes the front item, waiting while the queue is empty. Returns nullptr
  // with remaining 0 once the queue is shut down, also when items are still
  // queued; otherwise remaining is the number of items left behind it.
  Item Pop(size_t& remaining);
  size_t Size() const;
  // Sets the shut-down flag for good and wakes every waiting consumer.
  void Shutdown();
  bool IsShutdown() const;
  // Removes and returns every queued item, for the owner to release.
  std::deque<Item> Drain();

 private:
  std::deque<Item> m_Items;  // Guarded by m_Lock.
  mutable boost::mutex m_Lock;
  boost::condition_variable m_NotEmpty;
  bool m_bShutdown = false;  // Guarded by m_Lock.
};
