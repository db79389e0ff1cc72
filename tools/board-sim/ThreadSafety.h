#pragma once

// Clang's thread-safety attributes for the simulator's own locks: the lock
// rules written beside the fields are checked by the compiler
// (-Wthread-safety); other compilers ignore them. Prefixed, since the tests
// include these beside the service's.
#if defined(__clang__)
#define SIM_ATTRIBUTE(x) __attribute__((x))
#else
#define SIM_ATTRIBUTE(x)
#endif

#define SIM_CAPABILITY SIM_ATTRIBUTE(capability("mutex"))
#define SIM_SCOPED_CAPABILITY SIM_ATTRIBUTE(scoped_lockable)
#define SIM_GUARDED_BY(x) SIM_ATTRIBUTE(guarded_by(x))
#define SIM_REQUIRES(...) SIM_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define SIM_ACQUIRE(...) SIM_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define SIM_RELEASE(...) SIM_ATTRIBUTE(release_capability(__VA_ARGS__))
#define SIM_ASSERT_HELD(x) SIM_ATTRIBUTE(assert_capability(x))
