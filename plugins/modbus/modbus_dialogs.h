// The Modbus TCP driver's own dialogs for adding and editing devices, folders and tags
// (Russian user interface). A setting the model would refuse is explained and not taken.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "link_book.h"
#include "modbus_model.h"

namespace modbus {

// Both are modal and return true when the user confirmed and the model was changed.
bool ShowAddDialog(HINSTANCE instance, HWND owner, Model& model, DWORD parent);
// A device's dialog offers to reset its link counters in `links`, when given.
bool ShowEditDialog(HINSTANCE instance, HWND owner, Model& model, DWORD id,
                    LinkBook* links = nullptr);

}  // namespace modbus
