// Wall time, CPU time and peak memory of this process, on both platforms,
// for C and C++ programs alike.
#ifndef BENCH_MEASURE_H
#define BENCH_MEASURE_H

#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#include <time.h>
#endif

static inline double WallClock()
{
#ifdef _WIN32
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)now.QuadPart / (double)frequency.QuadPart;
#else
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
#endif
}

static inline double CpuClock()
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return (k.QuadPart + u.QuadPart) / 1e7;
#else
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
#endif
}

static inline unsigned long long PeakKilobytes()
{
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize / 1024;
#else
    // The high-water mark of this program's own memory: getrusage's figure
    // would also count the process that started it, from before exec.
    unsigned long long peak = 0;
    FILE *status = fopen("/proc/self/status", "r");
    if (status) {
        char line[256];
        while (fgets(line, sizeof line, status))
            if (sscanf(line, "VmHWM: %llu kB", &peak) == 1) break;
        fclose(status);
    }
    return peak;
#endif
}

// One line a script can read: key=value pairs.
static inline void PrintMeasure(const char *what, double wall, double cpu, unsigned long long bytes, int result)
{
    printf("%s wall=%.4f cpu=%.4f peak_kb=%llu bytes=%llu result=%d\n", what, wall, cpu, PeakKilobytes(), bytes, result);
}

#endif
