// How many OpenMP threads the native code may use, fork included.
#pragma once

namespace gyrant::cpu {

//! omp_get_max_threads(), except in a process forked after gyrant's threads had started: GCC's
//! OpenMP runtime cannot restart its thread pool in the child, whose first parallel region would
//! wait forever, so there the native code runs on the calling thread alone (and says so once on
//! standard error). Every native entry calls this before its first parallel region.
int team_threads();

}  // namespace gyrant::cpu
