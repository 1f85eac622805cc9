// Allocation failure on demand: this binary replaces the global operator new and delete,
// and the dlopened plug-in binds to them. On an armed thread, each allocation whose nearest
// caller in the plug-in, the stand-in or the test is the plug-in counts, and number failAt
// fails (throwing forms throw std::bad_alloc, nothrow forms answer null). The stand-in and
// the host's callbacks play C code and never fail. Thread safe: the arming is per thread.
#ifndef TESTS_ALLOC_FAILINGALLOCATOR_H
#define TESTS_ALLOC_FAILINGALLOCATOR_H

namespace FailingAllocator {

// The libraries whose code the counting looks for: any address inside each.
void SetLibraries(const void* pluginAddress, const void* simAddress);
// failAt < 0 counts without failing.
void Arm(long failAt);
// Ends the counting on this thread; answers the plug-in allocations counted and sets
// *failed to whether the one to fail was reached.
long Disarm(bool* failed);

}  // namespace FailingAllocator

#endif  // TESTS_ALLOC_FAILINGALLOCATOR_H
