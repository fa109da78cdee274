// Wall-clock time of a piece of work, for tests that print figures.
#pragma once

#include <windows.h>

template <class Work>
double SecondsOf(Work&& work) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    work();
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}
