// The simulator's own dialogs for adding and editing objects (Russian user interface).
#pragma once

#include <windows.h>

#include "sim_model.h"

// Both are modal and return true when the user confirmed and the model was changed.
bool ShowAddObjectDialog(HINSTANCE instance, HWND owner, SimModel& model, DWORD parent);
bool ShowEditObjectDialog(HINSTANCE instance, HWND owner, SimModel& model, DWORD id);
