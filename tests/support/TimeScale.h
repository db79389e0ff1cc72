#pragma once

// ThreadSanitizer slows every memory access and every lock several times
// over; the windows that tests give a request or a reply (time-outs, not the
// bounds of waits for a condition) grow by this factor in such a build, so
// that a slow reply is not taken for a lost one.
namespace testsupport {

#if defined(__SANITIZE_THREAD__)
#define BM_TEST_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BM_TEST_UNDER_TSAN 1
#endif
#endif

#ifdef BM_TEST_UNDER_TSAN
constexpr int TimeScale = 10;
#else
constexpr int TimeScale = 1;
#endif

} // namespace testsupport
