// Counts the process's heap allocations: operator new, and malloc, calloc and realloc with
// glibc; not under the sanitizers, which own the allocator. Link allocation_counter.cpp into
// the program itself.
#pragma once

long allocationCount();
bool allocationsCounted();
