#include "browse_elements.h"

void BrowseElementsFree::operator()(OPCBROWSEELEMENT* elements) const noexcept {
    for (DWORD i = 0; i < count; ++i) {
        CoTaskMemFree(elements[i].szName);
        CoTaskMemFree(elements[i].szItemID);
        OPCITEMPROPERTIES& props = elements[i].ItemProperties;
        for (DWORD k = 0; props.pItemProperties && k < props.dwNumProperties; ++k) {
            CoTaskMemFree(props.pItemProperties[k].szItemID);
            CoTaskMemFree(props.pItemProperties[k].szDescription);
            VariantClear(&props.pItemProperties[k].vValue);
        }
        CoTaskMemFree(props.pItemProperties);
    }
    CoTaskMemFree(elements);
}
