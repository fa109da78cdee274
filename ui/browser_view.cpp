#include "browser_view.h"

#include <algorithm>

#include "ansi_text.h"
#include "configurator.h"
#include "driver_list.h"
#include "items_list_view.h"
#include "resource_ids.h"

void CBrowser::InitialUpdate() {
    if (!Control()) return;
    DeleteSubtree(nullptr);
    BuildSubtree(nullptr);
}

HTREEITEM CBrowser::Insert(HTREEITEM parent, const std::wstring& text, int image, NodeRef* ref) {
    TVINSERTSTRUCTW insert{};
    insert.hParent = parent ? parent : TVI_ROOT;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    insert.item.pszText = const_cast<wchar_t*>(text.c_str());
    insert.item.iImage = image;
    insert.item.iSelectedImage = image;
    insert.item.lParam = reinterpret_cast<LPARAM>(ref);
    return reinterpret_cast<HTREEITEM>(
        SendMessageW(Control(), TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
}

void CBrowser::BuildSubtree(HTREEITEM node) {
    DeleteSubtree(node);
    if (node) {
        std::vector<DWORD> path = PathTo(node);
        BuildBelow(node, path);
        return;
    }
    const DriverSnapshot lists = g_drivers.Snapshot();
    const size_t count = std::min(lists->drivers.size(), lists->driverNames.size());
    for (size_t i = 0; i < count; ++i) {
        auto ref = std::make_unique<NodeRef>(NodeRef{lists->drivers[i], 0});
        HTREEITEM top = Insert(nullptr, AnsiToWide(lists->driverNames[i]), 0, ref.get());
        if (!top) continue;
        ref.release();
        std::vector<DWORD> path{0};
        BuildBelow(top, path);
    }
}

std::vector<DWORD> CBrowser::PathTo(HTREEITEM node) const {
    std::vector<DWORD> path;
    for (HTREEITEM n = node; n; n = TreeView_GetParent(Control(), n))
        if (const NodeRef* ref = RefOf(Control(), n)) path.push_back(ref->id);
    std::reverse(path.begin(), path.end());
    return path;
}

void CBrowser::BuildBelow(HTREEITEM node, std::vector<DWORD>& path) {
    const NodeRef* ref = RefOf(Control(), node);
    if (!ref) return;
    const std::shared_ptr<CDriver> driver = ref->driver.lock();
    if (!driver) return;
    const DWORD id = ref->id;

    CObjectInfo info;
    driver->GetObjectInfo(id, info);
    const std::wstring text = AnsiToWide(info.name);
    TVITEMW item{};
    item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    item.hItem = node;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    item.iImage = info.treeImage;
    item.iSelectedImage = info.image;
    SendMessageW(Control(), TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));

    if (path.size() >= kMaxDepth) return;
    std::vector<std::string> children;
    driver->EnumChildren(children, id);
    for (const std::string& name : children) {
        const DWORD childId = driver->GetObjectID(id, name);
        // An unknown name answers the root, and a driver may report a cycle: a child already
        // on the way down would make the tree endless, so it is left out.
        if (childId == 0 || std::find(path.begin(), path.end(), childId) != path.end()) continue;
        CObjectInfo child;
        driver->GetObjectInfo(childId, child);
        if (child.isTag || !child.visible) continue;
        auto childRef = std::make_unique<NodeRef>(NodeRef{driver, childId});
        HTREEITEM inserted = Insert(node, AnsiToWide(name), 2, childRef.get());
        if (!inserted) continue;
        childRef.release();
        path.push_back(childId);
        BuildBelow(inserted, path);
        path.pop_back();
    }
}

void CBrowser::FreeRef(HTREEITEM node) {
    TVITEMW item{};
    item.mask = TVIF_PARAM;
    item.hItem = node;
    if (!SendMessageW(Control(), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return;
    auto* ref = reinterpret_cast<NodeRef*>(item.lParam);
    item.lParam = 0;
    SendMessageW(Control(), TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    delete ref;
}

void CBrowser::DeleteSubtree(HTREEITEM node) {
    if (!Control()) return;
    HTREEITEM child = node ? TreeView_GetChild(Control(), node) : TreeView_GetRoot(Control());
    while (child) {
        FreeRef(child);
        DeleteSubtree(child);
        HTREEITEM next = TreeView_GetNextSibling(Control(), child);
        TreeView_DeleteItem(Control(), child);
        child = next;
    }
}

const NodeRef* CBrowser::RefOf(HWND tree, HTREEITEM node) {
    if (!node) return nullptr;
    TVITEMW item{};
    item.mask = TVIF_PARAM;
    item.hItem = node;
    if (!SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return nullptr;
    return reinterpret_cast<const NodeRef*>(item.lParam);
}

HTREEITEM CBrowser::SelectedNode() const {
    return Control() ? TreeView_GetSelection(Control()) : nullptr;
}

const NodeRef* CBrowser::SelectedRef() const {
    return RefOf(Control(), SelectedNode());
}

// Add and Edit: the driver's dialog for the selected node's object, then the node's children
// and the list read again.
template <class Dialog>
bool CBrowser::ActOnSelected(Dialog&& dialog) {
    HTREEITEM node = SelectedNode();
    const NodeRef* ref = RefOf(Control(), node);
    if (!ref) return false;
    const std::shared_ptr<CDriver> driver = ref->driver.lock();
    if (!driver) return false;
    const DWORD id = ref->id;
    dialog(*driver, id);
    BuildSubtree(node);
    frame_.Items().ShowItems(driver, id);
    return true;
}

bool CBrowser::AddToSelected(HWND owner) {
    return ActOnSelected([owner](CDriver& driver, DWORD id) { driver.AddObject(id, owner); });
}

bool CBrowser::EditSelected(HWND owner) {
    return ActOnSelected([owner](CDriver& driver, DWORD id) { driver.EditObject(id, owner); });
}

bool CBrowser::RemoveSelected() {
    HTREEITEM node = SelectedNode();
    const NodeRef* ref = RefOf(Control(), node);
    // A driver's own node (its root) cannot be removed.
    if (!ref || ref->id == 0) return false;
    const std::shared_ptr<CDriver> driver = ref->driver.lock();
    if (!driver) return false;
    // A node the driver keeps (one of its own making, such as a device's diagnostics) stays.
    if (driver->RemoveObject(ref->id) == 0) return false;
    DeleteSubtree(node);
    FreeRef(node);
    TreeView_DeleteItem(Control(), node);
    return true;
}

void CBrowser::ShowContextMenu() {
    TVHITTESTINFO hit{};
    hit.pt = CursorInControl();
    HTREEITEM node = TreeView_HitTest(Control(), &hit);
    if (node && !(hit.flags & TVHT_ONITEM)) node = nullptr;
    TreeView_SelectItem(Control(), node);
    // The tree handles none of the menu's commands: the frame acts on the selected node.
    ShowEditMenu(frame_.Window());
}

bool CBrowser::OnNotify(const NMHDR& header, LRESULT& result) {
    if (header.hwndFrom != Control()) return false;
    switch (header.code) {
        case TVN_SELCHANGEDW:
        case TVN_SELCHANGEDA: {
            const auto& change = reinterpret_cast<const NMTREEVIEWW&>(header);
            const auto* ref = reinterpret_cast<const NodeRef*>(change.itemNew.lParam);
            if (change.itemNew.hItem && ref) {
                const std::shared_ptr<CDriver> driver = ref->driver.lock();
                if (driver) frame_.Items().ShowItems(driver, ref->id);
            }
            result = 0;
            return true;
        }
        case TVN_DELETEITEMW:
        case TVN_DELETEITEMA: {
            // The window's own end deletes the nodes without DeleteSubtree: their NodeRefs
            // go here. A node deleted by DeleteSubtree carries none any more.
            const auto& deletion = reinterpret_cast<const NMTREEVIEWW&>(header);
            delete reinterpret_cast<NodeRef*>(deletion.itemOld.lParam);
            result = 0;
            return true;
        }
        case NM_DBLCLK:
            SendMessageW(frame_.Window(), WM_COMMAND, ID_EDIT_OBJECT, 0);
            result = 0;  // the node still expands or collapses
            return true;
        default:
            return false;
    }
}
