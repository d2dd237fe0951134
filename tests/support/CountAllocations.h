// SPDX-License-Identifier: MIT
// CountAllocations: replaces the global operator new of a test program with
// one that counts the allocations made on the calling thread while a
// CountAllocations object lives. The replacement functions are defined here,
// so include this header in exactly one source file of a test program.
#ifndef COUNTALLOCATIONS_H
#define COUNTALLOCATIONS_H

#include <cstdlib>
#include <new>

namespace allocation_count {
inline thread_local bool counting = false;
inline thread_local long allocations = 0;
} // namespace allocation_count

/// Counts the allocations of the current thread from construction on.
struct CountAllocations {
  CountAllocations() {
    allocation_count::allocations = 0;
    allocation_count::counting = true;
  }
  ~CountAllocations() { allocation_count::counting = false; }
  long count() const { return allocation_count::allocations; }
};

void *operator new(std::size_t size) {
  if (allocation_count::counting)
    allocation_count::allocations++;
  if (void *p = std::malloc(size != 0 ? size : 1))
    return p;
  throw std::bad_alloc();
}
void *operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete(void *p) noexcept {
  std::free(p);
}
void operator delete[](void *p) noexcept {
  std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
  std::free(p);
}

#endif
