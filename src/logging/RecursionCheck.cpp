#include "logging/RecursionCheck.h"

#include "runtime/Interlocked.h"

volatile long RecursionCheck::s_count = 0;

RecursionCheck::RecursionCheck() : m_count(InterlockedIncrement(&s_count)) {}

RecursionCheck::~RecursionCheck() { InterlockedDecrement(&s_count); }
