// CWindowPublisher: a top-level window made reachable from other processes.
// It binds an abstract Unix socket (SOCK_SEQPACKET) under the window's name
// and runs a listener thread that turns each request of a process of the same
// user into a post or a send to the window. The name is free again when the
// object goes, or with the process: nothing is left on disk.
//
// One request and one answer per connection, each a single packet. A post is
// answered as soon as it is queued; a send when the owning thread has handled
// it, so the listener never waits for the window's thread and can be joined
// from it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/MessageQueue.h"
#include "platform/WinUser.h"

class CWindowPublisher {
 public:
  // What the listener asks of the window's side: queue a post, queue a send
  // (answered through done). Each returns false when the window is gone.
  struct CTarget {
    std::function<bool(UINT message, WPARAM wParam, LPARAM lParam)> post;
    std::function<bool(UINT message, WPARAM wParam, LPARAM lParam, CMessageQueue::Completion done)> send;
  };

  // Null when the name is taken (another process publishes such a window)
  // or no socket can be made.
  static std::unique_ptr<CWindowPublisher> Publish(const std::string& name, CTarget target);
  // Stops and joins the listener and frees the name.
  ~CWindowPublisher();
  CWindowPublisher(const CWindowPublisher&) = delete;
  CWindowPublisher& operator=(const CWindowPublisher&) = delete;

  // "vci-ident/<class>/<absolute registry file path>"; a name too long for
  // a socket address puts a hash of the path in its place.
  static std::string NameFor(const std::string& className);

  // Client side. Exists: something listens under the name.
  static bool Exists(const std::string& name);
  // Delivers a message to the window published under name: messageName is
  // the registered message's name ("" for the system messages that may
  // cross). A post waits only until it is queued; a send until it is handled
  // or the other process ended. False when nothing listens or the other side
  // refused the message.
  static bool Deliver(const std::string& name, bool send, UINT message, const std::string& messageName, WPARAM wParam,
                      LPARAM lParam, LRESULT& result);

  // The system messages allowed to cross; their parameters carry no pointers.
  static bool MayCross(UINT message);

 private:
  CWindowPublisher(int listenFd, int wakeFd, CTarget target);
  void Listen();
  void Serve(int fd);  // Takes ownership of fd.

  // Constant after construction.
  const int m_ListenFd;
  const int m_WakeFd;  // eventfd: written once to stop the listener.
  const CTarget m_Target;
  std::thread m_Listener;
};
