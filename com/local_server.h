// The life of a small local server process with one class: its interfaces anchored, the
// class object registered, messages served on this thread until the module's monitor ends the
// process a grace period after the last client went.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <initializer_list>

// `factory` is referenced for as long as it is registered; the caller keeps its own
// reference. `anchored`: the interfaces the process hands out (see interface_anchors.h).
// `startedByCom`: the process was started for a client, which may never come (two
// activations at once start two processes and the first to register serves both), so the
// grace period starts at once. The exit code.
int ServeLocalClass(REFCLSID clsid, IClassFactory* factory, std::initializer_list<IID> anchored,
                    bool startedByCom) noexcept;
