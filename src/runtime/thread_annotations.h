// Lock annotations that clang checks with -Wthread-safety: which mutex
// guards which member, and which functions take or need it. Other compilers
// ignore them.
#pragma once

#if defined(__clang__)
#define KORVEX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KORVEX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KORVEX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KORVEX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KORVEX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KORVEX_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRE(...) KORVEX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KORVEX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define REQUIRES(...) KORVEX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KORVEX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KORVEX_THREAD_ANNOTATION(no_thread_safety_analysis)
