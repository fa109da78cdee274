// The class lists the server list hands out: snapshot enumerators of GUIDs, as IEnumGUID (the
// original interface) and IOPCEnumGUID (the second one). Each owns its copy of the list and
// holds nothing of the server list object, so it keeps working after the client released that.
#pragma once

#include <comcat.h>

#include "enumerators.h"
#include "opc.h"

template <class IEnum>
struct EnumGuidPolicy {
    using Interface = IEnum;
    using Element = GUID;
    using Stored = GUID;
    static void Copy(const Stored& from, Element* to) noexcept { *to = from; }
    static void Destroy(Element&) noexcept {}
};

using EnumGuid = SnapshotEnum<EnumGuidPolicy<IEnumGUID>>;
using OpcEnumGuid = SnapshotEnum<EnumGuidPolicy<IOPCEnumGUID>>;
