// The kinds of client a soak runs at once, each what a real client of that kind does, for a
// given time, counted in a SoakFigures:
//   subscriber      two groups on IOPCDataCallback (250 ms and 1000 ms), the gaps between
//                   their update callbacks timed
//   subscriber-da1  one group on an OPC DA 1.0 IDataObject stream (500 ms), likewise
//   poller          synchronous reads from the cache and from the device
//   writer          synchronous writes to tags of its own, each read back from the device
//   async           IOPCAsyncIO2 reads and writes, some cancelled; every completed write
//                   read back from the device, every accepted cancel checked to have kept
//                   the old value
//   churn           groups made and removed, items added and removed, browsing, properties
//   victim          a subscriber that writes as well: the one the soak kills and restarts
//
// Writers own the probe driver's tags Probe.Soak.S<slot>.T0 ... T5 (slot = seed mod 16), so
// that what one writes no other client overwrites before it reads it back.
#pragma once

#include <windows.h>
#include <random>
#include <string>
#include <vector>

#include "connection.h"
#include "soak_figures.h"

struct SoakContext {
    Connection& connection;
    SoakFigures& figures;
    unsigned seed;
    ULONGLONG deadline;  // GetTickCount64
    std::mt19937 random;

    bool Running() const { return GetTickCount64() < deadline; }
    // Sleeps `ms`, or less when the deadline comes first.
    void Pause(DWORD ms) const;
    // A number in [low, high].
    unsigned Between(unsigned low, unsigned high);
};

// The roles by name; false for an unknown name.
bool IsSoakRole(const std::wstring& role);
void RunSoakRole(const std::wstring& role, SoakContext& context);
