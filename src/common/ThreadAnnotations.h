// Clang thread-safety annotations. They compile to nothing elsewhere.
#pragma once

#if defined(__clang__)
#define VNPP_TSA(x) __attribute__((x))
#else
#define VNPP_TSA(x)
#endif

#define CAPABILITY(x) VNPP_TSA(capability(x))
#define SCOPED_CAPABILITY VNPP_TSA(scoped_lockable)
#define GUARDED_BY(x) VNPP_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) VNPP_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VNPP_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VNPP_TSA(acquired_after(__VA_ARGS__))
#define REQUIRES(...) VNPP_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VNPP_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VNPP_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VNPP_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) VNPP_TSA(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) VNPP_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VNPP_TSA(no_thread_safety_analysis)
