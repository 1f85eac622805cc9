// Allocation failure on demand, for driving the plug-in's exports into std::bad_alloc.
// This test binary replaces the global operator new and delete (FailingAllocator.cpp); the
// plug-in, loaded with dlopen, binds its operator new to the executable's like every other
// library does. On a thread that is armed, each allocation whose nearest caller in the
// plug-in or the stand-in channel service is the plug-in counts, and the one numbered
// failAt fails: the throwing forms throw std::bad_alloc, the nothrow forms answer null.
// Allocations of the stand-in, of the test (the host's callbacks) and of other threads
// never fail: the stand-in and the host play C code, which reports failures through its
// results instead of throwing through the plug-in.
// Thread safe: the arming is per thread.
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
