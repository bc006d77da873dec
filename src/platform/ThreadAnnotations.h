// The attributes with which clang's thread-safety analysis (-Wthread-safety)
// checks the service's lock discipline at compile time: which lock guards a
// member, which lock a function needs held or must not hold, and which
// functions take and give back a lock. Compilers without the attributes see
// empty macros, so the annotations cost nothing there.
//
// CI builds src/ with clang and -Werror=thread-safety: a member read without
// its lock, or a function called without the lock it requires, fails the
// build.
#pragma once

#if defined(__clang__) && !defined(SWIG)
#define VCI_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VCI_THREAD_ANNOTATION(x)
#endif

// On a class: its objects are locks.
#define CAPABILITY(x) VCI_THREAD_ANNOTATION(capability(x))
// On a class: its objects hold a lock for their lifetime (RAII).
#define SCOPED_CAPABILITY VCI_THREAD_ANNOTATION(scoped_lockable)

// On a member: read and written only with the lock held.
#define GUARDED_BY(x) VCI_THREAD_ANNOTATION(guarded_by(x))
// On a pointer member: what it points to is read and written only with the
// lock held.
#define PT_GUARDED_BY(x) VCI_THREAD_ANNOTATION(pt_guarded_by(x))

// On a lock member: the documented lock order.
#define ACQUIRED_BEFORE(...) VCI_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VCI_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// On a function: the caller holds the lock (exclusively or shared).
#define REQUIRES(...) VCI_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) VCI_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))

// On a function: it takes the lock and returns with it held.
#define ACQUIRE(...) VCI_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) VCI_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))

// On a function: it is entered with the lock held and gives it back.
#define RELEASE(...) VCI_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) VCI_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))

// On a function: takes the lock when it returns the given value.
#define TRY_ACQUIRE(...) VCI_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// On a function: the caller must not hold the lock (the function takes it).
#define EXCLUDES(...) VCI_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// On a function: it checks at run time that the lock is held, and from its
// call on the analysis assumes so.
#define ASSERT_CAPABILITY(x) VCI_THREAD_ANNOTATION(assert_capability(x))

// On a function that returns a lock: which lock it returns.
#define RETURN_CAPABILITY(x) VCI_THREAD_ANNOTATION(lock_returned(x))

// On a function: the analysis does not look into it. Each use says why the
// analysis cannot follow the function's pattern.
#define NO_THREAD_SAFETY_ANALYSIS VCI_THREAD_ANNOTATION(no_thread_safety_analysis)
