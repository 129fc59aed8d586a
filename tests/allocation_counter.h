// Counts the process's heap allocations: operator new everywhere, and malloc, calloc and
// realloc where no sanitizer owns them. Link allocation_counter.cpp into the program itself.
#pragma once

long allocationCount();
