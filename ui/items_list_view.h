// CItemsList: the configurator's list pane. The tags of one object (the one selected in the
// tree, remembered for refreshes) with their data type, description, value and client
// count, sorted by name. It is refreshed after every change made through the configurator
// and after every debug scan, so it is also the value monitor of debug scanning.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <memory>

#include "pane_view.h"

class CDriver;

class CItemsList : public PaneView {
  public:
    using PaneView::PaneView;

    void InitialUpdate() override;

    // Fills the list with the tags of `id` of `driver` and remembers both.
    void ShowItems(const std::shared_ptr<CDriver>& driver, DWORD id);
    // Fills it again for the remembered object; empty while there is none, or when its
    // driver is gone (New unloaded it).
    void Refresh();

    // Add, Edit and Remove. Add acts on the tree's selected object; Edit and Remove on the
    // selected row's tag, and do nothing without one.
    bool OnCommand(UINT command) override;

  protected:
    bool OnNotify(const NMHDR& header, LRESULT& result) override;

  private:
    void Fill(CDriver* driver, DWORD id);
    // The selected row's tag identifier; false without a selected row.
    bool SelectedTag(DWORD& tag) const;
    void ShowContextMenu() override;

    std::weak_ptr<CDriver> rememberedDriver_;
    DWORD rememberedId_ = 0;
};
