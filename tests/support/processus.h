// What a running process holds, read from /proc.
#pragma once
#include <sys/types.h>

// Open descriptors of the process; -1 if it cannot be read.
int descripteurs_ouverts(pid_t pid);
// CPU time used so far (user and system), in seconds.
double temps_cpu(pid_t pid);
