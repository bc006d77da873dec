#include "StackSessions.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>

namespace {

// The calling thread's session number, 0 for none; trivial, so that a
// thread's end needs nothing of the library.
thread_local uint64_t t_Session = 0;

// The key whose destructor ends a thread's session, and whom it tells. The
// key goes with the sessions, so that threads ending after the library's
// unload no longer call into it.
pthread_key_t g_ThreadEndKey;
std::atomic<CStackSessions::EndFn> g_OnThreadEnd{nullptr};

void ThreadEnd(void* session) {
  if (CStackSessions::EndFn end = g_OnThreadEnd.load()) end(reinterpret_cast<uintptr_t>(session));
}

}  // namespace

CStackSessions::CStackSessions(EndFn onThreadEnd)
    : m_Post(reinterpret_cast<PostMessageFn>(dlsym(RTLD_DEFAULT, "PostMessage"))) {
  m_bKey = pthread_key_create(&g_ThreadEndKey, &ThreadEnd) == 0;
  g_OnThreadEnd = onThreadEnd;
}

CStackSessions::~CStackSessions() { Stop(); }

void CStackSessions::Stop() {
  g_OnThreadEnd = nullptr;
  if (m_bKey) pthread_key_delete(g_ThreadEndKey);
  m_bKey = false;
}

bool CStackSessions::CanPost() const {
  if (!m_Post) fprintf(stderr, "libTosBtApi: the program exports no PostMessage to post notifications with\n");
  return m_Post != nullptr;
}

uint64_t CStackSessions::Current() { return t_Session; }

void CStackSessions::Open(HWND hWnd) {
  if (!m_Windows.count(t_Session)) {
    t_Session = ++m_uiLast;
    if (m_bKey) pthread_setspecific(g_ThreadEndKey, reinterpret_cast<void*>(static_cast<uintptr_t>(t_Session)));
  }
  m_Windows[t_Session] = hWnd;
}

void CStackSessions::Release() {
  if (m_bKey) pthread_setspecific(g_ThreadEndKey, nullptr);
}
