#include "quality.h"

#include <cwchar>

#include "opc.h"

namespace {

const wchar_t* SubstatusName(WORD quality) {
    switch (quality & OPC_STATUS_MASK) {
        case OPC_QUALITY_CONFIG_ERROR:
            return L"configuration error";
        case OPC_QUALITY_NOT_CONNECTED:
            return L"not connected";
        case OPC_QUALITY_DEVICE_FAILURE:
            return L"device failure";
        case OPC_QUALITY_SENSOR_FAILURE:
            return L"sensor failure";
        case OPC_QUALITY_LAST_KNOWN:
            return L"last known value";
        case OPC_QUALITY_COMM_FAILURE:
            return L"communication failure";
        case OPC_QUALITY_OUT_OF_SERVICE:
            return L"out of service";
        case OPC_QUALITY_WAITING_FOR_INITIAL_DATA:
            return L"waiting for initial data";
        case OPC_QUALITY_LAST_USABLE:
            return L"last usable value";
        case OPC_QUALITY_SENSOR_CAL:
            return L"sensor not accurate";
        case OPC_QUALITY_EGU_EXCEEDED:
            return L"engineering units exceeded";
        case OPC_QUALITY_SUB_NORMAL:
            return L"sub-normal";
        case OPC_QUALITY_LOCAL_OVERRIDE:
            return L"local override";
    }
    return nullptr;
}

const wchar_t* LimitName(WORD quality) {
    switch (quality & OPC_LIMIT_MASK) {
        case OPC_LIMIT_LOW:
            return L"low limited";
        case OPC_LIMIT_HIGH:
            return L"high limited";
        case OPC_LIMIT_CONST:
            return L"constant";
    }
    return nullptr;
}

}  // namespace

std::wstring QualityName(WORD quality) {
    switch (quality & OPC_QUALITY_MASK) {
        case OPC_QUALITY_GOOD:
            return L"good";
        case OPC_QUALITY_UNCERTAIN:
            return L"uncertain";
        case OPC_QUALITY_BAD:
            return L"bad";
    }
    return L"invalid";
}

std::wstring QualityText(WORD quality) {
    std::wstring text = QualityName(quality);
    std::wstring details;
    // A status word whose substatus has no name still says something; show the number.
    if ((quality & 0x3C) != 0) {
        const wchar_t* name = SubstatusName(quality);
        details = name ? name : L"substatus " + std::to_wstring((quality & 0x3C) >> 2);
    }
    if (const wchar_t* limit = LimitName(quality))
        details += (details.empty() ? L"" : L", ") + std::wstring(limit);
    if (!details.empty()) text += L": " + details;
    if ((quality & 0xFF00) != 0) {
        wchar_t vendor[32];
        swprintf(vendor, 32, L" (vendor bits 0x%02X)", quality >> 8);
        text += vendor;
    }
    return text;
}
