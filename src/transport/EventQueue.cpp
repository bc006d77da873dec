#include "transport/EventQueue.h"

void CEventQueue::Push(Item item) {
  boost::lock_guard<boost::mutex> lock(m_Lock);
  m_Items.push_back(item);
  m_NotEmpty.notify_one();
}

CEventQueue::Item CEventQueue::Pop(size_t& remaining) {
  boost::unique_lock<boost::mutex> lock(m_Lock);
  remaining = 0;
  while (m_Items.empty() && !m_bShutdown) m_NotEmpty.wait(lock);
  if (m_bShutdown) return nullptr;
  Item item = m_Items.front();
  m_Items.pop_front();
  remaining = m_Items.size();
  return item;
}

size_t CEventQueue::Size() const {
  boost::lock_guard<boost::mutex> lock(m_Lock);
  return m_Items.size();
}

void CEventQueue::Shutdown() {
  boost::lock_guard<boost::mutex> lock(m_Lock);
  m_bShutdown = true;
  m_NotEmpty.notify_all();
}

bool CEventQueue::IsShutdown() const {
  boost::lock_guard<boost::mutex> lock(m_Lock);
  return m_bShutdown;
}

std::deque<CEventQueue::Item> CEventQueue::Drain() {
  boost::lock_guard<boost::mutex> lock(m_Lock);
  std::deque<Item> items;
  items.swap(m_Items);
  return items;
}
