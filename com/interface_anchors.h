// Keeps the RPC layer's registration of every interface the server hands out for the life of
// the process. Under Wine, the release of the last object exported under an interface
// unregisters that interface and waits for the calls still running on it while it holds the
// process-wide lock on interface registrations. A running call that hands out another
// interface needs that lock, and a call whose callback into a dead or stuck client does not
// return never ends: either way no client's call is answered again (seen under load, with a
// client killed, and under hostile calls). With one object of our own exported under each
// interface for good, the last release never unregisters, so that wait never happens.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <initializer_list>
#include <vector>

#include "com_ptr.h"

class InterfaceAnchors {
  public:
    InterfaceAnchors() = default;
    InterfaceAnchors(const InterfaceAnchors&) = delete;
    InterfaceAnchors& operator=(const InterfaceAnchors&) = delete;
    ~InterfaceAnchors() { Release(); }

    // Exports the anchor once under each interface (marshaled table-strong into a stream
    // nobody reads); an interface that does not marshal is left out. The number exported.
    size_t Hold(std::initializer_list<IID> iids) noexcept;
    // Takes every export back (before COM is uninitialised).
    void Release() noexcept;

  private:
    std::vector<ComPtr<IStream>> exports_;
};
