// CBrowser: the configurator's tree pane. For every loaded driver a top-level node, beneath
// it the driver's branch objects as deep as they go (tags are listed by the items pane).
// The tree is read afresh from the drivers at every rebuild and holds no configuration.
//
// Every node owns one NodeRef, freed exactly once when the node goes; before a node is
// deleted its data is set to none, so a selection notice during a deletion finds a live
// NodeRef or none.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <memory>
#include <vector>

#include "pane_view.h"

class CDriver;

struct NodeRef {
    // The driver that owns the object. Weak: the tree never keeps a driver that New has
    // unloaded alive, and a node of such a driver simply does nothing.
    std::weak_ptr<CDriver> driver;
    DWORD id = 0;  // 0: the driver's root (a top-level node)
};

class CBrowser : public PaneView {
  public:
    // A rebuild stops descending here, whatever a driver reports.
    static constexpr size_t kMaxDepth = 256;

    using PaneView::PaneView;

    void InitialUpdate() override;

    // Rebuilds everything below `node` (nullptr: the whole tree) from the drivers.
    void BuildSubtree(HTREEITEM node);
    // Deletes every node below `node` (nullptr: every node); `node` itself stays.
    void DeleteSubtree(HTREEITEM node);

    HTREEITEM SelectedNode() const;
    // The selected node's NodeRef, or nullptr.
    const NodeRef* SelectedRef() const;
    static const NodeRef* RefOf(HWND tree, HTREEITEM node);

    // The frame's commands on the selected node, with the main window as the dialogs' owner.
    // Each returns whether it reached a driver.
    bool AddToSelected(HWND owner);
    bool EditSelected(HWND owner);
    bool RemoveSelected();

  protected:
    bool OnNotify(const NMHDR& header, LRESULT& result) override;

  private:
    HTREEITEM Insert(HTREEITEM parent, const std::wstring& text, int image, NodeRef* ref);
    // `path`: the identifiers from the driver's root down to `node`, to stop at a cycle.
    void BuildBelow(HTREEITEM node, std::vector<DWORD>& path);
    std::vector<DWORD> PathTo(HTREEITEM node) const;
    void FreeRef(HTREEITEM node);
    template <class Dialog>
    bool ActOnSelected(Dialog&& dialog);
    void ShowContextMenu() override;
};
