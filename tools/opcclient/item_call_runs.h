// One run of the item-call benchmark: a fresh group, AddItems of n definitions naming one
// item, a cache and a device Read of them all, a Write of the values read, RemoveItems, and
// the OPC DA 3.0 reads by identifier where the server has them. Shared by the plain
// benchmark and the paired one (--versus).
#pragma once

#include <windows.h>
#include <optional>
#include <string>
#include <vector>

#include "connection.h"
#include "process_meter.h"

enum Operation {
    kAddItems,
    kReadCache,
    kReadDevice,
    kWrite,
    kRemoveItems,
    kItemIoAnyAge,
    kItemIoAge0,
    kOperationCount
};

// For --json and for tables.
extern const wchar_t* const kOperationNames[kOperationCount];
extern const wchar_t* const kOperationLabels[kOperationCount];

struct RunFigures {
    std::vector<double> rate = std::vector<double>(kOperationCount, -1.0);  // items per second
    std::vector<double> cpu = std::vector<double>(kOperationCount, -1.0);   // server µs per item
};

// A rate of -1 for an operation the run skipped (a write of a read-only item, reads by
// identifier on a server without them). Throws ToolError at the first item error: a
// benchmark of failing calls would measure the error path.
RunFigures OneItemCallRun(Connection& connection, const std::optional<ProcessMeter>& meter,
                          const std::wstring& item, DWORD size);
