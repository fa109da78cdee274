#include "items_list_view.h"

#include <string>
#include <vector>

#include "ansi_text.h"
#include "browser_view.h"
#include "configurator.h"
#include "driver.h"
#include "resource_ids.h"
#include "value_display.h"

namespace {

struct Column {
    const wchar_t* header;
};
constexpr Column kColumns[] = {
    {L"Item ID"}, {L"Data Type"}, {L"Description"}, {L"Value"}, {L"Clients"}};
constexpr int kColumnWidth = 100;

}  // namespace

void CItemsList::InitialUpdate() {
    if (!Control()) return;
    int index = 0;
    for (const Column& column : kColumns) {
        LVCOLUMNW lvc{};
        lvc.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        lvc.fmt = LVCFMT_CENTER;  // the control keeps its first column left-aligned
        lvc.cx = kColumnWidth;
        lvc.pszText = const_cast<wchar_t*>(column.header);
        lvc.iSubItem = index;
        SendMessageW(Control(), LVM_INSERTCOLUMNW, index++, reinterpret_cast<LPARAM>(&lvc));
    }
}

void CItemsList::ShowItems(const std::shared_ptr<CDriver>& driver, DWORD id) {
    rememberedDriver_ = driver;
    rememberedId_ = id;
    Fill(driver.get(), id);
}

void CItemsList::Refresh() {
    const std::shared_ptr<CDriver> driver = rememberedDriver_.lock();
    Fill(driver.get(), rememberedId_);
}

void CItemsList::Fill(CDriver* driver, DWORD id) {
    if (!Control()) return;
    ListView_DeleteAllItems(Control());
    if (!driver) return;
    std::vector<std::string> names, children;
    driver->EnumTags(names, id);
    driver->EnumChildren(children, id);
    names.insert(names.end(), children.begin(), children.end());
    for (const std::string& name : names) {
        CObjectInfo info;
        driver->GetObjectInfo(driver->GetObjectID(id, name), info);
        if (!info.isTag || !info.visible) continue;
        const std::wstring text = AnsiToWide(info.name);
        LVITEMW row{};
        row.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
        row.iItem = 0;
        row.pszText = const_cast<wchar_t*>(text.c_str());
        row.iImage = info.image;
        row.lParam = static_cast<LPARAM>(info.id);
        const int at = static_cast<int>(
            SendMessageW(Control(), LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&row)));
        if (at < 0) continue;
        const std::wstring cells[] = {
            AnsiToWide(TypeDisplayName(info.value.Type())),
            AnsiToWide(info.description),
            ValueDisplayText(*info.value.Get()),
            std::to_wstring(static_cast<long>(info.clients)),
        };
        for (int column = 1; column <= 4; ++column) {
            LVITEMW cell{};
            cell.iSubItem = column;
            cell.pszText = const_cast<wchar_t*>(cells[column - 1].c_str());
            SendMessageW(Control(), LVM_SETITEMTEXTW, at, reinterpret_cast<LPARAM>(&cell));
        }
    }
}

bool CItemsList::SelectedTag(DWORD& tag) const {
    const int row = ListView_GetNextItem(Control(), -1, LVNI_SELECTED);
    if (row < 0) return false;
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (!SendMessageW(Control(), LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return false;
    tag = static_cast<DWORD>(item.lParam);
    return true;
}

bool CItemsList::OnCommand(UINT command) {
    if (command != ID_ADD_OBJECT && command != ID_EDIT_OBJECT && command != ID_REMOVE_OBJECT)
        return false;
    // Handled here whatever happens: the list never falls back to the tree's own commands.
    const NodeRef* node = frame_.Browser().SelectedRef();
    if (!node) return true;
    const std::shared_ptr<CDriver> driver = node->driver.lock();
    if (!driver) return true;
    const DWORD nodeId = node->id;
    DWORD tag = 0;
    if (command == ID_ADD_OBJECT) {
        driver->AddObject(nodeId, Window());
    } else if (!SelectedTag(tag)) {
        return true;
    } else if (command == ID_EDIT_OBJECT) {
        driver->EditObject(tag, Window());
    } else {
        driver->RemoveObject(tag);
    }
    frame_.MarkChanged();
    frame_.Browser().BuildSubtree(frame_.Browser().SelectedNode());
    ShowItems(driver, nodeId);
    return true;
}

void CItemsList::ShowContextMenu() {
    LVHITTESTINFO hit{};
    hit.pt = CursorInControl();
    const int row = ListView_HitTest(Control(), &hit);
    // Outside every row the selection is cleared: Edit and Remove then do nothing.
    ListView_SetItemState(Control(), -1, 0, LVIS_SELECTED);
    if (row >= 0)
        ListView_SetItemState(Control(), row, LVIS_SELECTED | LVIS_FOCUSED,
                              LVIS_SELECTED | LVIS_FOCUSED);
    ShowEditMenu(Window());  // its commands come to this pane
}

bool CItemsList::OnNotify(const NMHDR& header, LRESULT& result) {
    if (header.hwndFrom != Control()) return false;
    switch (header.code) {
        case NM_DBLCLK: {
            const NodeRef* node = frame_.Browser().SelectedRef();
            const std::shared_ptr<CDriver> driver = node ? node->driver.lock() : nullptr;
            DWORD tag = 0;
            if (driver && SelectedTag(tag)) {
                driver->EditObject(tag, Window());
                frame_.MarkChanged();
            }
            result = 0;
            return true;
        }
        default:
            return false;
    }
}
