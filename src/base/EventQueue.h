// The blocking first-in-first-out queue through which producers hand heap
// objects to one consumer thread. The queue owns what it holds: Push takes
// the object over, Pop hands it to the consumer, and whatever is still queued
// when the queue goes (shut down or not) is freed with it, so neither a
// shutdown nor a drain can leak an event or free one twice.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>

#include "platform/CondVar.h"
#include "platform/Mutex.h"

template <typename T>
class CEventQueue {
 public:
  typedef std::unique_ptr<T> Item;

  CEventQueue() = default;
  CEventQueue(const CEventQueue&) = delete;
  CEventQueue& operator=(const CEventQueue&) = delete;

  // Appends at the back and wakes the consumer. An item pushed onto a
  // shut-down queue is kept until the queue is drained or destroyed; it is
  // never handed out.
  void Push(Item item) {
    CMutexLock lock(m_Lock);
    m_Items.push_back(std::move(item));
    m_NotEmpty.NotifyOne();
  }

  // What an absorb function answers for one waiting item.
  enum Offer {
    TAKEN,  // the waiting item has taken the new one in (merged it, or been replaced by it)
    PASS,   // the new item may go on to the items before this one
    STOP,   // the new item may not pass this one: it is appended
  };

  // Offers the item to the items still waiting, newest first, as long as
  // absorb(waiting, item) answers PASS: TAKEN ends with nothing appended,
  // STOP (or the front reached) appends the item as Push does. This is how a
  // producer that outpaces its consumer keeps the queue bounded without
  // moving anything ahead of an item that has to stay behind it.
  template <typename Absorb>
  void PushOrAbsorb(Item item, Absorb absorb) {
    CMutexLock lock(m_Lock);
    for (auto it = m_Items.rbegin(); it != m_Items.rend(); ++it) {
      const Offer offer = absorb(**it, *item);
      if (offer == TAKEN) return;
      if (offer == STOP) break;
    }
    m_Items.push_back(std::move(item));
    m_NotEmpty.NotifyOne();
  }

  // Takes the front item, waiting while the queue is empty. Returns no item
  // with remaining 0 once the queue is shut down, also when items are still
  // queued; otherwise remaining is the number of items left behind it.
  Item Pop(size_t& remaining) {
    CMutexLock lock(m_Lock);
    remaining = 0;
    while (m_Items.empty() && !m_bShutdown) m_NotEmpty.Wait(m_Lock);
    if (m_bShutdown) return Item();
    Item item = std::move(m_Items.front());
    m_Items.pop_front();
    remaining = m_Items.size();
    return item;
  }

  size_t Size() const {
    CMutexLock lock(m_Lock);
    return m_Items.size();
  }

  // Sets the shut-down flag for good and wakes every waiting consumer.
  void Shutdown() {
    CMutexLock lock(m_Lock);
    m_bShutdown = true;
    m_NotEmpty.NotifyAll();
  }

  bool IsShutdown() const {
    CMutexLock lock(m_Lock);
    return m_bShutdown;
  }

  // Removes and returns every queued item (they are freed with the result
  // unless the caller keeps them).
  std::deque<Item> Drain() {
    CMutexLock lock(m_Lock);
    std::deque<Item> items;
    items.swap(m_Items);
    return items;
  }

 private:
  mutable CMutex m_Lock;
  CCondVar m_NotEmpty;
  std::deque<Item> m_Items GUARDED_BY(m_Lock);
  bool m_bShutdown GUARDED_BY(m_Lock) = false;
};
