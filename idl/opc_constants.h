// OPC constants that widl leaves out of the generated headers: access rights, qualities,
// property IDs, category IDs and the OPC error codes.
#pragma once

#include <windows.h>
#include <guiddef.h>

// Access rights: two mask bits (the very first DA IDL wrongly made them an enum).
constexpr DWORD OPC_READABLE = 0x1;
constexpr DWORD OPC_WRITEABLE = 0x2;

// Quality word: quality (bits 7-6), substatus (5-2), limit (1-0).
constexpr WORD OPC_QUALITY_MASK = 0xC0;
constexpr WORD OPC_STATUS_MASK = 0xFC;
constexpr WORD OPC_LIMIT_MASK = 0x03;
constexpr WORD OPC_QUALITY_BAD = 0x00;
constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
constexpr WORD OPC_QUALITY_GOOD = 0xC0;
constexpr WORD OPC_QUALITY_CONFIG_ERROR = 0x04;
constexpr WORD OPC_QUALITY_NOT_CONNECTED = 0x08;
constexpr WORD OPC_QUALITY_DEVICE_FAILURE = 0x0C;
constexpr WORD OPC_QUALITY_SENSOR_FAILURE = 0x10;
constexpr WORD OPC_QUALITY_LAST_KNOWN = 0x14;
constexpr WORD OPC_QUALITY_COMM_FAILURE = 0x18;
constexpr WORD OPC_QUALITY_OUT_OF_SERVICE = 0x1C;
constexpr WORD OPC_QUALITY_WAITING_FOR_INITIAL_DATA = 0x20;
constexpr WORD OPC_QUALITY_LAST_USABLE = 0x44;
constexpr WORD OPC_QUALITY_SENSOR_CAL = 0x50;
constexpr WORD OPC_QUALITY_EGU_EXCEEDED = 0x54;
constexpr WORD OPC_QUALITY_SUB_NORMAL = 0x58;
constexpr WORD OPC_QUALITY_LOCAL_OVERRIDE = 0xD8;
constexpr WORD OPC_LIMIT_OK = 0x00;
constexpr WORD OPC_LIMIT_LOW = 0x01;
constexpr WORD OPC_LIMIT_HIGH = 0x02;
constexpr WORD OPC_LIMIT_CONST = 0x03;

// Browse element flags (OPCBROWSEELEMENT.dwFlagValue).
constexpr DWORD OPC_BROWSE_HASCHILDREN = 0x1;
constexpr DWORD OPC_BROWSE_ISITEM = 0x2;

// Item property IDs.
constexpr DWORD OPC_PROPERTY_DATATYPE = 1;
constexpr DWORD OPC_PROPERTY_VALUE = 2;
constexpr DWORD OPC_PROPERTY_QUALITY = 3;
constexpr DWORD OPC_PROPERTY_TIMESTAMP = 4;
constexpr DWORD OPC_PROPERTY_ACCESS_RIGHTS = 5;
constexpr DWORD OPC_PROPERTY_SCAN_RATE = 6;
constexpr DWORD OPC_PROPERTY_EU_TYPE = 7;
constexpr DWORD OPC_PROPERTY_EU_INFO = 8;
constexpr DWORD OPC_PROPERTY_EU_UNITS = 100;
constexpr DWORD OPC_PROPERTY_DESCRIPTION = 101;
constexpr DWORD OPC_PROPERTY_HIGH_EU = 102;
constexpr DWORD OPC_PROPERTY_LOW_EU = 103;
constexpr DWORD OPC_PROPERTY_HIGH_IR = 104;
constexpr DWORD OPC_PROPERTY_LOW_IR = 105;
constexpr DWORD OPC_PROPERTY_CLOSE_LABEL = 106;
constexpr DWORD OPC_PROPERTY_OPEN_LABEL = 107;
constexpr DWORD OPC_PROPERTY_TIMEZONE = 108;

constexpr const wchar_t* OPC_PROPERTY_DESC_DATATYPE = L"Item Canonical Data Type";
constexpr const wchar_t* OPC_PROPERTY_DESC_VALUE = L"Item Value";
constexpr const wchar_t* OPC_PROPERTY_DESC_QUALITY = L"Item Quality";
constexpr const wchar_t* OPC_PROPERTY_DESC_TIMESTAMP = L"Item Timestamp";
constexpr const wchar_t* OPC_PROPERTY_DESC_ACCESS_RIGHTS = L"Item Access Rights";
constexpr const wchar_t* OPC_PROPERTY_DESC_SCAN_RATE = L"Server Scan Rate";

constexpr const wchar_t* OPC_CATEGORY_DESCRIPTION_DA10 = L"OPC Data Access Servers Version 1.0";
constexpr const wchar_t* OPC_CATEGORY_DESCRIPTION_DA20 = L"OPC Data Access Servers Version 2.0";
constexpr const wchar_t* OPC_CATEGORY_DESCRIPTION_DA30 = L"OPC Data Access Servers Version 3.0";

// Category IDs as plain GUIDs: declared as [uuid]-only interfaces they would end up in the
// proxy tables.
constexpr GUID CATID_OPCDAServer10 = {
    0x63D5F430, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
constexpr GUID CATID_OPCDAServer20 = {
    0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
constexpr GUID CATID_OPCDAServer30 = {
    0xCC603642, 0x66D7, 0x48F1, {0xB6, 0x9A, 0xB6, 0x25, 0xE7, 0x36, 0x52, 0xD7}};

// OPC error and success codes (FACILITY_ITF).
constexpr HRESULT OPC_E_INVALIDHANDLE = static_cast<HRESULT>(0xC0040001L);
constexpr HRESULT OPC_E_BADTYPE = static_cast<HRESULT>(0xC0040004L);
constexpr HRESULT OPC_E_PUBLIC = static_cast<HRESULT>(0xC0040005L);
constexpr HRESULT OPC_E_BADRIGHTS = static_cast<HRESULT>(0xC0040006L);
constexpr HRESULT OPC_E_UNKNOWNITEMID = static_cast<HRESULT>(0xC0040007L);
constexpr HRESULT OPC_E_INVALIDITEMID = static_cast<HRESULT>(0xC0040008L);
constexpr HRESULT OPC_E_INVALIDFILTER = static_cast<HRESULT>(0xC0040009L);
constexpr HRESULT OPC_E_UNKNOWNPATH = static_cast<HRESULT>(0xC004000AL);
constexpr HRESULT OPC_E_RANGE = static_cast<HRESULT>(0xC004000BL);
constexpr HRESULT OPC_E_DUPLICATENAME = static_cast<HRESULT>(0xC004000CL);
constexpr HRESULT OPC_S_UNSUPPORTEDRATE = static_cast<HRESULT>(0x0004000DL);
constexpr HRESULT OPC_S_CLAMP = static_cast<HRESULT>(0x0004000EL);
constexpr HRESULT OPC_S_INUSE = static_cast<HRESULT>(0x0004000FL);
constexpr HRESULT OPC_E_INVALIDCONFIGFILE = static_cast<HRESULT>(0xC0040010L);
constexpr HRESULT OPC_E_NOTFOUND = static_cast<HRESULT>(0xC0040011L);
constexpr HRESULT OPC_E_INVALID_PID = static_cast<HRESULT>(0xC0040203L);
constexpr HRESULT OPC_E_DEADBANDNOTSET = static_cast<HRESULT>(0xC0040400L);
constexpr HRESULT OPC_E_DEADBANDNOTSUPPORTED = static_cast<HRESULT>(0xC0040401L);
constexpr HRESULT OPC_E_NOBUFFERING = static_cast<HRESULT>(0xC0040402L);
constexpr HRESULT OPC_E_INVALIDCONTINUATIONPOINT = static_cast<HRESULT>(0xC0040403L);
constexpr HRESULT OPC_S_DATAQUEUEOVERFLOW = static_cast<HRESULT>(0x00040404L);
constexpr HRESULT OPC_E_RATENOTSET = static_cast<HRESULT>(0xC0040405L);
constexpr HRESULT OPC_E_NOTSUPPORTED = static_cast<HRESULT>(0xC0040406L);
