// How much memory this process may use, and size arithmetic that cannot
// wrap, so that storage which could never be backed is refused up front
// instead of being obtained on credit (Linux overcommits) and filled until
// the kernel kills the process. Relies on POSIX sysconf and getrlimit and on
// the Linux control-group files.
#ifndef ZSCAN_MEMORY_LIMIT_H
#define ZSCAN_MEMORY_LIMIT_H

#include <cstdint>

namespace zscan {

// Bytes of memory the process may use: the machine's physical memory,
// lowered by the address-space and data-segment limits (getrlimit) and by
// the memory limit of the process's control group when one is visible.
// Determined once per process.
std::uint64_t usable_memory_bytes();

// a + b and a * b, saturating at UINT64_MAX.
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b);
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b);

}  // namespace zscan

#endif  // ZSCAN_MEMORY_LIMIT_H
