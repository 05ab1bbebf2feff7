// Clang's thread-safety annotations (-Wthread-safety), as in clang's
// documentation: what a lock is (CAPABILITY), what it guards (GUARDED_BY),
// which functions take, give back or need it (ACQUIRE, RELEASE, REQUIRES)
// and scope guards (SCOPED_CAPABILITY). They expand to nothing on GCC, so
// they cost the ordinary build nothing; scripts/test.sh builds the library
// once with clang and -Wthread-safety -Werror to check them.
#ifndef ZUCLOUD_PLATFORM_THREAD_ANNOTATIONS_H
#define ZUCLOUD_PLATFORM_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define ZU_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZU_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ZU_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZU_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ZU_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ZU_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) ZU_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ZU_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) ZU_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ZU_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZU_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) ZU_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) ZU_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) ZU_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS ZU_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // ZUCLOUD_PLATFORM_THREAD_ANNOTATIONS_H
