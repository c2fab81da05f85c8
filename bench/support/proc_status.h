// What /proc tells of this process's memory, for the benchmarks.
#ifndef BENCH_SUPPORT_PROC_STATUS_H
#define BENCH_SUPPORT_PROC_STATUS_H

// A line of /proc/self/status ("VmRSS", "VmHWM", ...) in KiB; -1 if absent.
long StatusKiB(const char* key);

// Resets the peak RSS (VmHWM) to the current RSS.
void ResetPeakRss();

#endif
