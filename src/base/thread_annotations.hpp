// Annotations that tell clang's -Wthread-safety which mutex guards what and which locks a function
// takes, holds or must not hold. Under other compilers they expand to nothing.
#pragma once

#if defined(__clang__)
#define VELTRANO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VELTRANO_THREAD_ANNOTATION(x)
#endif

// A type that acts as a lock (a mutex); `x` names the kind in the analysis' messages.
#define VELTRANO_CAPABILITY(x) VELTRANO_THREAD_ANNOTATION(capability(x))
// An object that holds a lock for its lifetime (a scoped lock).
#define VELTRANO_SCOPED_CAPABILITY VELTRANO_THREAD_ANNOTATION(scoped_lockable)

// A member read or written only with `x` held.
#define VELTRANO_GUARDED_BY(x) VELTRANO_THREAD_ANNOTATION(guarded_by(x))
// A pointer whose pointee is read or written only with `x` held.
#define VELTRANO_PT_GUARDED_BY(x) VELTRANO_THREAD_ANNOTATION(pt_guarded_by(x))

// The caller must hold the locks listed.
#define VELTRANO_REQUIRES(...) VELTRANO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the locks listed (the function takes them itself).
#define VELTRANO_EXCLUDES(...) VELTRANO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function takes the locks listed and keeps them. With none listed: the object it is called
// on (a mutex), or the mutex it manages (a scoped lock).
#define VELTRANO_ACQUIRE(...) VELTRANO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function gives up the locks listed, which the caller held; none listed as for ACQUIRE.
#define VELTRANO_RELEASE(...) VELTRANO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the locks listed after its first argument when it returns that value.
#define VELTRANO_TRY_ACQUIRE(...) VELTRANO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// Turns the analysis off for one function: only where it cannot follow the locking, with a
// comment saying why.
#define VELTRANO_NO_THREAD_SAFETY_ANALYSIS VELTRANO_THREAD_ANNOTATION(no_thread_safety_analysis)
