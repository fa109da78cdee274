// bench --subscribe --change: the items of a benchmark branch, its leaves named T..., found by
// browsing the server as any client would, and the share of them that changes per update,
// set on the server through the branch's ChangePercent item for as long as a run lasts.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "connection.h"
#include "group.h"

struct BenchBranchItems {
    std::vector<std::wstring> tags;  // the T leaves' item identifiers, in name order
    std::wstring changePercent;      // the ChangePercent leaf's item identifier
};

// At most `limit` T leaves. Throws ToolError (failure) when the server cannot be browsed to
// `branch` or the branch has no T leaves.
BenchBranchItems BrowseBenchBranch(Connection& connection, const std::wstring& branch,
                                   size_t limit);

// The share written through a synchronous write when made, and 0 again when it ends, whatever
// ended the run.
class ChangeShare {
  public:
    // Throws ToolError (failure) when the item is unknown or the write is refused.
    ChangeShare(Connection& connection, const std::wstring& item, double percent);
    // Writes 0 unless Restore did; never throws.
    ~ChangeShare();
    ChangeShare(const ChangeShare&) = delete;
    ChangeShare& operator=(const ChangeShare&) = delete;

    // Writes 0; throws ToolError (failure) when the server refuses it.
    void Restore();

  private:
    void Write(double percent);

    Connection& connection_;
    std::wstring item_;
    Group group_;
    OPCHANDLE handle_ = 0;
    bool restored_ = false;
};
