/* Compile-time check of vtable slots and struct layouts against the published OPC facts
   (Win32 numbers in the i686 build, Win64 numbers in the x86_64 build). */
#include <stddef.h>
#include <windows.h>
#include <ole2.h>
#include "opccomn.h"
#include "opcda.h"

#define OPC_CHECK_SLOT(I, M, N) _Static_assert(offsetof(I##Vtbl, M) == (N) * sizeof(void*), #I "::" #M " slot " #N);
#define OPC_CHECK_VTBL(I, N) _Static_assert(sizeof(I##Vtbl) == (N) * sizeof(void*), #I " vtable length " #N);

OPC_CHECK_VTBL(IOPCServer, 9)
OPC_CHECK_SLOT(IOPCServer, AddGroup, 3)
OPC_CHECK_SLOT(IOPCServer, GetErrorString, 4)
OPC_CHECK_SLOT(IOPCServer, GetGroupByName, 5)
OPC_CHECK_SLOT(IOPCServer, GetStatus, 6)
OPC_CHECK_SLOT(IOPCServer, RemoveGroup, 7)
OPC_CHECK_SLOT(IOPCServer, CreateGroupEnumerator, 8)
OPC_CHECK_VTBL(IOPCServerPublicGroups, 5)
OPC_CHECK_SLOT(IOPCServerPublicGroups, GetPublicGroupByName, 3)
OPC_CHECK_SLOT(IOPCServerPublicGroups, RemovePublicGroup, 4)
OPC_CHECK_VTBL(IOPCBrowseServerAddressSpace, 8)
OPC_CHECK_SLOT(IOPCBrowseServerAddressSpace, QueryOrganization, 3)
OPC_CHECK_SLOT(IOPCBrowseServerAddressSpace, ChangeBrowsePosition, 4)
OPC_CHECK_SLOT(IOPCBrowseServerAddressSpace, BrowseOPCItemIDs, 5)
OPC_CHECK_SLOT(IOPCBrowseServerAddressSpace, GetItemID, 6)
OPC_CHECK_SLOT(IOPCBrowseServerAddressSpace, BrowseAccessPaths, 7)
OPC_CHECK_VTBL(IOPCGroupStateMgt, 7)
OPC_CHECK_SLOT(IOPCGroupStateMgt, GetState, 3)
OPC_CHECK_SLOT(IOPCGroupStateMgt, SetState, 4)
OPC_CHECK_SLOT(IOPCGroupStateMgt, SetName, 5)
OPC_CHECK_SLOT(IOPCGroupStateMgt, CloneGroup, 6)
OPC_CHECK_VTBL(IOPCPublicGroupStateMgt, 5)
OPC_CHECK_SLOT(IOPCPublicGroupStateMgt, GetState, 3)
OPC_CHECK_SLOT(IOPCPublicGroupStateMgt, MoveToPublic, 4)
OPC_CHECK_VTBL(IOPCSyncIO, 5)
OPC_CHECK_SLOT(IOPCSyncIO, Read, 3)
OPC_CHECK_SLOT(IOPCSyncIO, Write, 4)
OPC_CHECK_VTBL(IOPCAsyncIO, 7)
OPC_CHECK_SLOT(IOPCAsyncIO, Read, 3)
OPC_CHECK_SLOT(IOPCAsyncIO, Write, 4)
OPC_CHECK_SLOT(IOPCAsyncIO, Refresh, 5)
OPC_CHECK_SLOT(IOPCAsyncIO, Cancel, 6)
OPC_CHECK_VTBL(IOPCItemMgt, 10)
OPC_CHECK_SLOT(IOPCItemMgt, AddItems, 3)
OPC_CHECK_SLOT(IOPCItemMgt, ValidateItems, 4)
OPC_CHECK_SLOT(IOPCItemMgt, RemoveItems, 5)
OPC_CHECK_SLOT(IOPCItemMgt, SetActiveState, 6)
OPC_CHECK_SLOT(IOPCItemMgt, SetClientHandles, 7)
OPC_CHECK_SLOT(IOPCItemMgt, SetDatatypes, 8)
OPC_CHECK_SLOT(IOPCItemMgt, CreateEnumerator, 9)
OPC_CHECK_VTBL(IEnumOPCItemAttributes, 7)
OPC_CHECK_SLOT(IEnumOPCItemAttributes, Next, 3)
OPC_CHECK_SLOT(IEnumOPCItemAttributes, Skip, 4)
OPC_CHECK_SLOT(IEnumOPCItemAttributes, Reset, 5)
OPC_CHECK_SLOT(IEnumOPCItemAttributes, Clone, 6)
OPC_CHECK_VTBL(IOPCDataCallback, 7)
OPC_CHECK_SLOT(IOPCDataCallback, OnDataChange, 3)
OPC_CHECK_SLOT(IOPCDataCallback, OnReadComplete, 4)
OPC_CHECK_SLOT(IOPCDataCallback, OnWriteComplete, 5)
OPC_CHECK_SLOT(IOPCDataCallback, OnCancelComplete, 6)
OPC_CHECK_VTBL(IOPCAsyncIO2, 9)
OPC_CHECK_SLOT(IOPCAsyncIO2, Read, 3)
OPC_CHECK_SLOT(IOPCAsyncIO2, Write, 4)
OPC_CHECK_SLOT(IOPCAsyncIO2, Refresh2, 5)
OPC_CHECK_SLOT(IOPCAsyncIO2, Cancel2, 6)
OPC_CHECK_SLOT(IOPCAsyncIO2, SetEnable, 7)
OPC_CHECK_SLOT(IOPCAsyncIO2, GetEnable, 8)
OPC_CHECK_VTBL(IOPCItemProperties, 6)
OPC_CHECK_SLOT(IOPCItemProperties, QueryAvailableProperties, 3)
OPC_CHECK_SLOT(IOPCItemProperties, GetItemProperties, 4)
OPC_CHECK_SLOT(IOPCItemProperties, LookupItemIDs, 5)
OPC_CHECK_VTBL(IOPCItemDeadbandMgt, 6)
OPC_CHECK_SLOT(IOPCItemDeadbandMgt, SetItemDeadband, 3)
OPC_CHECK_SLOT(IOPCItemDeadbandMgt, GetItemDeadband, 4)
OPC_CHECK_SLOT(IOPCItemDeadbandMgt, ClearItemDeadband, 5)
OPC_CHECK_VTBL(IOPCItemSamplingMgt, 8)
OPC_CHECK_SLOT(IOPCItemSamplingMgt, SetItemSamplingRate, 3)
OPC_CHECK_SLOT(IOPCItemSamplingMgt, GetItemSamplingRate, 4)
OPC_CHECK_SLOT(IOPCItemSamplingMgt, ClearItemSamplingRate, 5)
OPC_CHECK_SLOT(IOPCItemSamplingMgt, SetItemBufferEnable, 6)
OPC_CHECK_SLOT(IOPCItemSamplingMgt, GetItemBufferEnable, 7)
OPC_CHECK_VTBL(IOPCBrowse, 5)
OPC_CHECK_SLOT(IOPCBrowse, GetProperties, 3)
OPC_CHECK_SLOT(IOPCBrowse, Browse, 4)
OPC_CHECK_VTBL(IOPCItemIO, 5)
OPC_CHECK_SLOT(IOPCItemIO, Read, 3)
OPC_CHECK_SLOT(IOPCItemIO, WriteVQT, 4)
OPC_CHECK_VTBL(IOPCSyncIO2, 7)
OPC_CHECK_SLOT(IOPCSyncIO2, ReadMaxAge, 5)
OPC_CHECK_SLOT(IOPCSyncIO2, WriteVQT, 6)
OPC_CHECK_VTBL(IOPCAsyncIO3, 12)
OPC_CHECK_SLOT(IOPCAsyncIO3, ReadMaxAge, 9)
OPC_CHECK_SLOT(IOPCAsyncIO3, WriteVQT, 10)
OPC_CHECK_SLOT(IOPCAsyncIO3, RefreshMaxAge, 11)
OPC_CHECK_VTBL(IOPCGroupStateMgt2, 9)
OPC_CHECK_SLOT(IOPCGroupStateMgt2, SetKeepAlive, 7)
OPC_CHECK_SLOT(IOPCGroupStateMgt2, GetKeepAlive, 8)
OPC_CHECK_VTBL(IOPCShutdown, 4)
OPC_CHECK_SLOT(IOPCShutdown, ShutdownRequest, 3)
OPC_CHECK_VTBL(IOPCCommon, 8)
OPC_CHECK_SLOT(IOPCCommon, SetLocaleID, 3)
OPC_CHECK_SLOT(IOPCCommon, GetLocaleID, 4)
OPC_CHECK_SLOT(IOPCCommon, QueryAvailableLocaleIDs, 5)
OPC_CHECK_SLOT(IOPCCommon, GetErrorString, 6)
OPC_CHECK_SLOT(IOPCCommon, SetClientName, 7)
OPC_CHECK_VTBL(IOPCServerList, 6)
OPC_CHECK_SLOT(IOPCServerList, EnumClassesOfCategories, 3)
OPC_CHECK_SLOT(IOPCServerList, GetClassDetails, 4)
OPC_CHECK_SLOT(IOPCServerList, CLSIDFromProgID, 5)
OPC_CHECK_VTBL(IOPCEnumGUID, 7)
OPC_CHECK_SLOT(IOPCEnumGUID, Next, 3)
OPC_CHECK_SLOT(IOPCEnumGUID, Skip, 4)
OPC_CHECK_SLOT(IOPCEnumGUID, Reset, 5)
OPC_CHECK_SLOT(IOPCEnumGUID, Clone, 6)
OPC_CHECK_VTBL(IOPCServerList2, 6)
OPC_CHECK_SLOT(IOPCServerList2, EnumClassesOfCategories, 3)
OPC_CHECK_SLOT(IOPCServerList2, GetClassDetails, 4)
OPC_CHECK_SLOT(IOPCServerList2, CLSIDFromProgID, 5)

#ifdef _WIN64
_Static_assert(sizeof(OPCGROUPHEADER) == 20, "sizeof OPCGROUPHEADER");
_Static_assert(offsetof(OPCGROUPHEADER, dwSize) == 0, "OPCGROUPHEADER.dwSize");
_Static_assert(offsetof(OPCGROUPHEADER, dwItemCount) == 4, "OPCGROUPHEADER.dwItemCount");
_Static_assert(offsetof(OPCGROUPHEADER, hClientGroup) == 8, "OPCGROUPHEADER.hClientGroup");
_Static_assert(offsetof(OPCGROUPHEADER, dwTransactionID) == 12, "OPCGROUPHEADER.dwTransactionID");
_Static_assert(offsetof(OPCGROUPHEADER, hrStatus) == 16, "OPCGROUPHEADER.hrStatus");
_Static_assert(sizeof(OPCITEMHEADER1) == 20, "sizeof OPCITEMHEADER1");
_Static_assert(offsetof(OPCITEMHEADER1, hClient) == 0, "OPCITEMHEADER1.hClient");
_Static_assert(offsetof(OPCITEMHEADER1, dwValueOffset) == 4, "OPCITEMHEADER1.dwValueOffset");
_Static_assert(offsetof(OPCITEMHEADER1, wQuality) == 8, "OPCITEMHEADER1.wQuality");
_Static_assert(offsetof(OPCITEMHEADER1, wReserved) == 10, "OPCITEMHEADER1.wReserved");
_Static_assert(offsetof(OPCITEMHEADER1, ftTimeStampItem) == 12, "OPCITEMHEADER1.ftTimeStampItem");
_Static_assert(sizeof(OPCITEMHEADER2) == 12, "sizeof OPCITEMHEADER2");
_Static_assert(offsetof(OPCITEMHEADER2, hClient) == 0, "OPCITEMHEADER2.hClient");
_Static_assert(offsetof(OPCITEMHEADER2, dwValueOffset) == 4, "OPCITEMHEADER2.dwValueOffset");
_Static_assert(offsetof(OPCITEMHEADER2, wQuality) == 8, "OPCITEMHEADER2.wQuality");
_Static_assert(offsetof(OPCITEMHEADER2, wReserved) == 10, "OPCITEMHEADER2.wReserved");
_Static_assert(sizeof(OPCGROUPHEADERWRITE) == 16, "sizeof OPCGROUPHEADERWRITE");
_Static_assert(offsetof(OPCGROUPHEADERWRITE, dwItemCount) == 0, "OPCGROUPHEADERWRITE.dwItemCount");
_Static_assert(offsetof(OPCGROUPHEADERWRITE, hClientGroup) == 4, "OPCGROUPHEADERWRITE.hClientGroup");
_Static_assert(offsetof(OPCGROUPHEADERWRITE, dwTransactionID) == 8, "OPCGROUPHEADERWRITE.dwTransactionID");
_Static_assert(offsetof(OPCGROUPHEADERWRITE, hrStatus) == 12, "OPCGROUPHEADERWRITE.hrStatus");
_Static_assert(sizeof(OPCITEMHEADERWRITE) == 8, "sizeof OPCITEMHEADERWRITE");
_Static_assert(offsetof(OPCITEMHEADERWRITE, hClient) == 0, "OPCITEMHEADERWRITE.hClient");
_Static_assert(offsetof(OPCITEMHEADERWRITE, dwError) == 4, "OPCITEMHEADERWRITE.dwError");
_Static_assert(sizeof(OPCITEMSTATE) == 40, "sizeof OPCITEMSTATE");
_Static_assert(offsetof(OPCITEMSTATE, hClient) == 0, "OPCITEMSTATE.hClient");
_Static_assert(offsetof(OPCITEMSTATE, ftTimeStamp) == 4, "OPCITEMSTATE.ftTimeStamp");
_Static_assert(offsetof(OPCITEMSTATE, wQuality) == 12, "OPCITEMSTATE.wQuality");
_Static_assert(offsetof(OPCITEMSTATE, wReserved) == 14, "OPCITEMSTATE.wReserved");
_Static_assert(offsetof(OPCITEMSTATE, vDataValue) == 16, "OPCITEMSTATE.vDataValue");
_Static_assert(sizeof(OPCSERVERSTATUS) == 56, "sizeof OPCSERVERSTATUS");
_Static_assert(offsetof(OPCSERVERSTATUS, ftStartTime) == 0, "OPCSERVERSTATUS.ftStartTime");
_Static_assert(offsetof(OPCSERVERSTATUS, ftCurrentTime) == 8, "OPCSERVERSTATUS.ftCurrentTime");
_Static_assert(offsetof(OPCSERVERSTATUS, ftLastUpdateTime) == 16, "OPCSERVERSTATUS.ftLastUpdateTime");
_Static_assert(offsetof(OPCSERVERSTATUS, dwServerState) == 24, "OPCSERVERSTATUS.dwServerState");
_Static_assert(offsetof(OPCSERVERSTATUS, dwGroupCount) == 28, "OPCSERVERSTATUS.dwGroupCount");
_Static_assert(offsetof(OPCSERVERSTATUS, dwBandWidth) == 32, "OPCSERVERSTATUS.dwBandWidth");
_Static_assert(offsetof(OPCSERVERSTATUS, wMajorVersion) == 36, "OPCSERVERSTATUS.wMajorVersion");
_Static_assert(offsetof(OPCSERVERSTATUS, wMinorVersion) == 38, "OPCSERVERSTATUS.wMinorVersion");
_Static_assert(offsetof(OPCSERVERSTATUS, wBuildNumber) == 40, "OPCSERVERSTATUS.wBuildNumber");
_Static_assert(offsetof(OPCSERVERSTATUS, wReserved) == 42, "OPCSERVERSTATUS.wReserved");
_Static_assert(offsetof(OPCSERVERSTATUS, szVendorInfo) == 48, "OPCSERVERSTATUS.szVendorInfo");
_Static_assert(sizeof(OPCITEMDEF) == 48, "sizeof OPCITEMDEF");
_Static_assert(offsetof(OPCITEMDEF, szAccessPath) == 0, "OPCITEMDEF.szAccessPath");
_Static_assert(offsetof(OPCITEMDEF, szItemID) == 8, "OPCITEMDEF.szItemID");
_Static_assert(offsetof(OPCITEMDEF, bActive) == 16, "OPCITEMDEF.bActive");
_Static_assert(offsetof(OPCITEMDEF, hClient) == 20, "OPCITEMDEF.hClient");
_Static_assert(offsetof(OPCITEMDEF, dwBlobSize) == 24, "OPCITEMDEF.dwBlobSize");
_Static_assert(offsetof(OPCITEMDEF, pBlob) == 32, "OPCITEMDEF.pBlob");
_Static_assert(offsetof(OPCITEMDEF, vtRequestedDataType) == 40, "OPCITEMDEF.vtRequestedDataType");
_Static_assert(offsetof(OPCITEMDEF, wReserved) == 42, "OPCITEMDEF.wReserved");
_Static_assert(sizeof(OPCITEMATTRIBUTES) == 80, "sizeof OPCITEMATTRIBUTES");
_Static_assert(offsetof(OPCITEMATTRIBUTES, szAccessPath) == 0, "OPCITEMATTRIBUTES.szAccessPath");
_Static_assert(offsetof(OPCITEMATTRIBUTES, szItemID) == 8, "OPCITEMATTRIBUTES.szItemID");
_Static_assert(offsetof(OPCITEMATTRIBUTES, bActive) == 16, "OPCITEMATTRIBUTES.bActive");
_Static_assert(offsetof(OPCITEMATTRIBUTES, hClient) == 20, "OPCITEMATTRIBUTES.hClient");
_Static_assert(offsetof(OPCITEMATTRIBUTES, hServer) == 24, "OPCITEMATTRIBUTES.hServer");
_Static_assert(offsetof(OPCITEMATTRIBUTES, dwAccessRights) == 28, "OPCITEMATTRIBUTES.dwAccessRights");
_Static_assert(offsetof(OPCITEMATTRIBUTES, dwBlobSize) == 32, "OPCITEMATTRIBUTES.dwBlobSize");
_Static_assert(offsetof(OPCITEMATTRIBUTES, pBlob) == 40, "OPCITEMATTRIBUTES.pBlob");
_Static_assert(offsetof(OPCITEMATTRIBUTES, vtRequestedDataType) == 48, "OPCITEMATTRIBUTES.vtRequestedDataType");
_Static_assert(offsetof(OPCITEMATTRIBUTES, vtCanonicalDataType) == 50, "OPCITEMATTRIBUTES.vtCanonicalDataType");
_Static_assert(offsetof(OPCITEMATTRIBUTES, dwEUType) == 52, "OPCITEMATTRIBUTES.dwEUType");
_Static_assert(offsetof(OPCITEMATTRIBUTES, vEUInfo) == 56, "OPCITEMATTRIBUTES.vEUInfo");
_Static_assert(sizeof(OPCITEMRESULT) == 24, "sizeof OPCITEMRESULT");
_Static_assert(offsetof(OPCITEMRESULT, hServer) == 0, "OPCITEMRESULT.hServer");
_Static_assert(offsetof(OPCITEMRESULT, vtCanonicalDataType) == 4, "OPCITEMRESULT.vtCanonicalDataType");
_Static_assert(offsetof(OPCITEMRESULT, wReserved) == 6, "OPCITEMRESULT.wReserved");
_Static_assert(offsetof(OPCITEMRESULT, dwAccessRights) == 8, "OPCITEMRESULT.dwAccessRights");
_Static_assert(offsetof(OPCITEMRESULT, dwBlobSize) == 12, "OPCITEMRESULT.dwBlobSize");
_Static_assert(offsetof(OPCITEMRESULT, pBlob) == 16, "OPCITEMRESULT.pBlob");
_Static_assert(sizeof(OPCITEMPROPERTY) == 56, "sizeof OPCITEMPROPERTY");
_Static_assert(offsetof(OPCITEMPROPERTY, vtDataType) == 0, "OPCITEMPROPERTY.vtDataType");
_Static_assert(offsetof(OPCITEMPROPERTY, wReserved) == 2, "OPCITEMPROPERTY.wReserved");
_Static_assert(offsetof(OPCITEMPROPERTY, dwPropertyID) == 4, "OPCITEMPROPERTY.dwPropertyID");
_Static_assert(offsetof(OPCITEMPROPERTY, szItemID) == 8, "OPCITEMPROPERTY.szItemID");
_Static_assert(offsetof(OPCITEMPROPERTY, szDescription) == 16, "OPCITEMPROPERTY.szDescription");
_Static_assert(offsetof(OPCITEMPROPERTY, vValue) == 24, "OPCITEMPROPERTY.vValue");
_Static_assert(offsetof(OPCITEMPROPERTY, hrErrorID) == 48, "OPCITEMPROPERTY.hrErrorID");
_Static_assert(offsetof(OPCITEMPROPERTY, dwReserved) == 52, "OPCITEMPROPERTY.dwReserved");
_Static_assert(sizeof(OPCITEMPROPERTIES) == 24, "sizeof OPCITEMPROPERTIES");
_Static_assert(offsetof(OPCITEMPROPERTIES, hrErrorID) == 0, "OPCITEMPROPERTIES.hrErrorID");
_Static_assert(offsetof(OPCITEMPROPERTIES, dwNumProperties) == 4, "OPCITEMPROPERTIES.dwNumProperties");
_Static_assert(offsetof(OPCITEMPROPERTIES, pItemProperties) == 8, "OPCITEMPROPERTIES.pItemProperties");
_Static_assert(offsetof(OPCITEMPROPERTIES, dwReserved) == 16, "OPCITEMPROPERTIES.dwReserved");
_Static_assert(sizeof(OPCBROWSEELEMENT) == 48, "sizeof OPCBROWSEELEMENT");
_Static_assert(offsetof(OPCBROWSEELEMENT, szName) == 0, "OPCBROWSEELEMENT.szName");
_Static_assert(offsetof(OPCBROWSEELEMENT, szItemID) == 8, "OPCBROWSEELEMENT.szItemID");
_Static_assert(offsetof(OPCBROWSEELEMENT, dwFlagValue) == 16, "OPCBROWSEELEMENT.dwFlagValue");
_Static_assert(offsetof(OPCBROWSEELEMENT, dwReserved) == 20, "OPCBROWSEELEMENT.dwReserved");
_Static_assert(offsetof(OPCBROWSEELEMENT, ItemProperties) == 24, "OPCBROWSEELEMENT.ItemProperties");
_Static_assert(sizeof(OPCITEMVQT) == 48, "sizeof OPCITEMVQT");
_Static_assert(offsetof(OPCITEMVQT, vDataValue) == 0, "OPCITEMVQT.vDataValue");
_Static_assert(offsetof(OPCITEMVQT, bQualitySpecified) == 24, "OPCITEMVQT.bQualitySpecified");
_Static_assert(offsetof(OPCITEMVQT, wQuality) == 28, "OPCITEMVQT.wQuality");
_Static_assert(offsetof(OPCITEMVQT, wReserved) == 30, "OPCITEMVQT.wReserved");
_Static_assert(offsetof(OPCITEMVQT, bTimeStampSpecified) == 32, "OPCITEMVQT.bTimeStampSpecified");
_Static_assert(offsetof(OPCITEMVQT, dwReserved) == 36, "OPCITEMVQT.dwReserved");
_Static_assert(offsetof(OPCITEMVQT, ftTimeStamp) == 40, "OPCITEMVQT.ftTimeStamp");
#else
_Static_assert(sizeof(OPCGROUPHEADER) == 20, "sizeof OPCGROUPHEADER");
_Static_assert(offsetof(OPCGROUPHEADER, dwSize) == 0, "OPCGROUPHEADER.dwSize");
_Static_assert(offsetof(OPCGROUPHEADER, dwItemCount) == 4, "OPCGROUPHEADER.dwItemCount");
_Static_assert(offsetof(OPCGROUPHEADER, hClientGroup) == 8, "OPCGROUPHEADER.hClientGroup");
_Static_assert(offsetof(OPCGROUPHEADER, dwTransactionID) == 12, "OPCGROUPHEADER.dwTransactionID");
_Static_assert(offsetof(OPCGROUPHEADER, hrStatus) == 16, "OPCGROUPHEADER.hrStatus");
_Static_assert(sizeof(OPCITEMHEADER1) == 20, "sizeof OPCITEMHEADER1");
_Static_assert(offsetof(OPCITEMHEADER1, hClient) == 0, "OPCITEMHEADER1.hClient");
_Static_assert(offsetof(OPCITEMHEADER1, dwValueOffset) == 4, "OPCITEMHEADER1.dwValueOffset");
_Static_assert(offsetof(OPCITEMHEADER1, wQuality) == 8, "OPCITEMHEADER1.wQuality");
_Static_assert(offsetof(OPCITEMHEADER1, wReserved) == 10, "OPCITEMHEADER1.wReserved");
_Static_assert(offsetof(OPCITEMHEADER1, ftTimeStampItem) == 12, "OPCITEMHEADER1.ftTimeStampItem");
_Static_assert(sizeof(OPCITEMHEADER2) == 12, "sizeof OPCITEMHEADER2");
_Static_assert(offsetof(OPCITEMHEADER2, hClient) == 0, "OPCITEMHEADER2.hClient");
_Static_assert(offsetof(OPCITEMHEADER2, dwValueOffset) == 4, "OPCITEMHEADER2.dwValueOffset");
_Static_assert(offsetof(OPCITEMHEADER2, wQuality) == 8, "OPCITEMHEADER2.wQuality");
_Static_assert(offsetof(OPCITEMHEADER2, wReserved) == 10, "OPCITEMHEADER2.wReserved");
_Static_assert(sizeof(OPCGROUPHEADERWRITE) == 16, "sizeof OPCGROUPHEADERWRITE");
_Static_assert(offsetof(OPCGROUPHEADERWRITE, dwItemCount) == 0, "OPCGROUPHEADERWRITE.dwItemCount");
_Static_assert(offsetof(OPCGROUPHEADERWRITE, hClientGroup) == 4, "OPCGROUPHEADERWRITE.hClientGroup");
_Static_assert(offsetof(OPCGROUPHEADERWRITE, dwTransactionID) == 8, "OPCGROUPHEADERWRITE.dwTransactionID");
_Static_assert(offsetof(OPCGROUPHEADERWRITE, hrStatus) == 12, "OPCGROUPHEADERWRITE.hrStatus");
_Static_assert(sizeof(OPCITEMHEADERWRITE) == 8, "sizeof OPCITEMHEADERWRITE");
_Static_assert(offsetof(OPCITEMHEADERWRITE, hClient) == 0, "OPCITEMHEADERWRITE.hClient");
_Static_assert(offsetof(OPCITEMHEADERWRITE, dwError) == 4, "OPCITEMHEADERWRITE.dwError");
_Static_assert(sizeof(OPCITEMSTATE) == 32, "sizeof OPCITEMSTATE");
_Static_assert(offsetof(OPCITEMSTATE, hClient) == 0, "OPCITEMSTATE.hClient");
_Static_assert(offsetof(OPCITEMSTATE, ftTimeStamp) == 4, "OPCITEMSTATE.ftTimeStamp");
_Static_assert(offsetof(OPCITEMSTATE, wQuality) == 12, "OPCITEMSTATE.wQuality");
_Static_assert(offsetof(OPCITEMSTATE, wReserved) == 14, "OPCITEMSTATE.wReserved");
_Static_assert(offsetof(OPCITEMSTATE, vDataValue) == 16, "OPCITEMSTATE.vDataValue");
_Static_assert(sizeof(OPCSERVERSTATUS) == 48, "sizeof OPCSERVERSTATUS");
_Static_assert(offsetof(OPCSERVERSTATUS, ftStartTime) == 0, "OPCSERVERSTATUS.ftStartTime");
_Static_assert(offsetof(OPCSERVERSTATUS, ftCurrentTime) == 8, "OPCSERVERSTATUS.ftCurrentTime");
_Static_assert(offsetof(OPCSERVERSTATUS, ftLastUpdateTime) == 16, "OPCSERVERSTATUS.ftLastUpdateTime");
_Static_assert(offsetof(OPCSERVERSTATUS, dwServerState) == 24, "OPCSERVERSTATUS.dwServerState");
_Static_assert(offsetof(OPCSERVERSTATUS, dwGroupCount) == 28, "OPCSERVERSTATUS.dwGroupCount");
_Static_assert(offsetof(OPCSERVERSTATUS, dwBandWidth) == 32, "OPCSERVERSTATUS.dwBandWidth");
_Static_assert(offsetof(OPCSERVERSTATUS, wMajorVersion) == 36, "OPCSERVERSTATUS.wMajorVersion");
_Static_assert(offsetof(OPCSERVERSTATUS, wMinorVersion) == 38, "OPCSERVERSTATUS.wMinorVersion");
_Static_assert(offsetof(OPCSERVERSTATUS, wBuildNumber) == 40, "OPCSERVERSTATUS.wBuildNumber");
_Static_assert(offsetof(OPCSERVERSTATUS, wReserved) == 42, "OPCSERVERSTATUS.wReserved");
_Static_assert(offsetof(OPCSERVERSTATUS, szVendorInfo) == 44, "OPCSERVERSTATUS.szVendorInfo");
_Static_assert(sizeof(OPCITEMDEF) == 28, "sizeof OPCITEMDEF");
_Static_assert(offsetof(OPCITEMDEF, szAccessPath) == 0, "OPCITEMDEF.szAccessPath");
_Static_assert(offsetof(OPCITEMDEF, szItemID) == 4, "OPCITEMDEF.szItemID");
_Static_assert(offsetof(OPCITEMDEF, bActive) == 8, "OPCITEMDEF.bActive");
_Static_assert(offsetof(OPCITEMDEF, hClient) == 12, "OPCITEMDEF.hClient");
_Static_assert(offsetof(OPCITEMDEF, dwBlobSize) == 16, "OPCITEMDEF.dwBlobSize");
_Static_assert(offsetof(OPCITEMDEF, pBlob) == 20, "OPCITEMDEF.pBlob");
_Static_assert(offsetof(OPCITEMDEF, vtRequestedDataType) == 24, "OPCITEMDEF.vtRequestedDataType");
_Static_assert(offsetof(OPCITEMDEF, wReserved) == 26, "OPCITEMDEF.wReserved");
_Static_assert(sizeof(OPCITEMATTRIBUTES) == 56, "sizeof OPCITEMATTRIBUTES");
_Static_assert(offsetof(OPCITEMATTRIBUTES, szAccessPath) == 0, "OPCITEMATTRIBUTES.szAccessPath");
_Static_assert(offsetof(OPCITEMATTRIBUTES, szItemID) == 4, "OPCITEMATTRIBUTES.szItemID");
_Static_assert(offsetof(OPCITEMATTRIBUTES, bActive) == 8, "OPCITEMATTRIBUTES.bActive");
_Static_assert(offsetof(OPCITEMATTRIBUTES, hClient) == 12, "OPCITEMATTRIBUTES.hClient");
_Static_assert(offsetof(OPCITEMATTRIBUTES, hServer) == 16, "OPCITEMATTRIBUTES.hServer");
_Static_assert(offsetof(OPCITEMATTRIBUTES, dwAccessRights) == 20, "OPCITEMATTRIBUTES.dwAccessRights");
_Static_assert(offsetof(OPCITEMATTRIBUTES, dwBlobSize) == 24, "OPCITEMATTRIBUTES.dwBlobSize");
_Static_assert(offsetof(OPCITEMATTRIBUTES, pBlob) == 28, "OPCITEMATTRIBUTES.pBlob");
_Static_assert(offsetof(OPCITEMATTRIBUTES, vtRequestedDataType) == 32, "OPCITEMATTRIBUTES.vtRequestedDataType");
_Static_assert(offsetof(OPCITEMATTRIBUTES, vtCanonicalDataType) == 34, "OPCITEMATTRIBUTES.vtCanonicalDataType");
_Static_assert(offsetof(OPCITEMATTRIBUTES, dwEUType) == 36, "OPCITEMATTRIBUTES.dwEUType");
_Static_assert(offsetof(OPCITEMATTRIBUTES, vEUInfo) == 40, "OPCITEMATTRIBUTES.vEUInfo");
_Static_assert(sizeof(OPCITEMRESULT) == 20, "sizeof OPCITEMRESULT");
_Static_assert(offsetof(OPCITEMRESULT, hServer) == 0, "OPCITEMRESULT.hServer");
_Static_assert(offsetof(OPCITEMRESULT, vtCanonicalDataType) == 4, "OPCITEMRESULT.vtCanonicalDataType");
_Static_assert(offsetof(OPCITEMRESULT, wReserved) == 6, "OPCITEMRESULT.wReserved");
_Static_assert(offsetof(OPCITEMRESULT, dwAccessRights) == 8, "OPCITEMRESULT.dwAccessRights");
_Static_assert(offsetof(OPCITEMRESULT, dwBlobSize) == 12, "OPCITEMRESULT.dwBlobSize");
_Static_assert(offsetof(OPCITEMRESULT, pBlob) == 16, "OPCITEMRESULT.pBlob");
_Static_assert(sizeof(OPCITEMPROPERTY) == 40, "sizeof OPCITEMPROPERTY");
_Static_assert(offsetof(OPCITEMPROPERTY, vtDataType) == 0, "OPCITEMPROPERTY.vtDataType");
_Static_assert(offsetof(OPCITEMPROPERTY, wReserved) == 2, "OPCITEMPROPERTY.wReserved");
_Static_assert(offsetof(OPCITEMPROPERTY, dwPropertyID) == 4, "OPCITEMPROPERTY.dwPropertyID");
_Static_assert(offsetof(OPCITEMPROPERTY, szItemID) == 8, "OPCITEMPROPERTY.szItemID");
_Static_assert(offsetof(OPCITEMPROPERTY, szDescription) == 12, "OPCITEMPROPERTY.szDescription");
_Static_assert(offsetof(OPCITEMPROPERTY, vValue) == 16, "OPCITEMPROPERTY.vValue");
_Static_assert(offsetof(OPCITEMPROPERTY, hrErrorID) == 32, "OPCITEMPROPERTY.hrErrorID");
_Static_assert(offsetof(OPCITEMPROPERTY, dwReserved) == 36, "OPCITEMPROPERTY.dwReserved");
_Static_assert(sizeof(OPCITEMPROPERTIES) == 16, "sizeof OPCITEMPROPERTIES");
_Static_assert(offsetof(OPCITEMPROPERTIES, hrErrorID) == 0, "OPCITEMPROPERTIES.hrErrorID");
_Static_assert(offsetof(OPCITEMPROPERTIES, dwNumProperties) == 4, "OPCITEMPROPERTIES.dwNumProperties");
_Static_assert(offsetof(OPCITEMPROPERTIES, pItemProperties) == 8, "OPCITEMPROPERTIES.pItemProperties");
_Static_assert(offsetof(OPCITEMPROPERTIES, dwReserved) == 12, "OPCITEMPROPERTIES.dwReserved");
_Static_assert(sizeof(OPCBROWSEELEMENT) == 32, "sizeof OPCBROWSEELEMENT");
_Static_assert(offsetof(OPCBROWSEELEMENT, szName) == 0, "OPCBROWSEELEMENT.szName");
_Static_assert(offsetof(OPCBROWSEELEMENT, szItemID) == 4, "OPCBROWSEELEMENT.szItemID");
_Static_assert(offsetof(OPCBROWSEELEMENT, dwFlagValue) == 8, "OPCBROWSEELEMENT.dwFlagValue");
_Static_assert(offsetof(OPCBROWSEELEMENT, dwReserved) == 12, "OPCBROWSEELEMENT.dwReserved");
_Static_assert(offsetof(OPCBROWSEELEMENT, ItemProperties) == 16, "OPCBROWSEELEMENT.ItemProperties");
_Static_assert(sizeof(OPCITEMVQT) == 40, "sizeof OPCITEMVQT");
_Static_assert(offsetof(OPCITEMVQT, vDataValue) == 0, "OPCITEMVQT.vDataValue");
_Static_assert(offsetof(OPCITEMVQT, bQualitySpecified) == 16, "OPCITEMVQT.bQualitySpecified");
_Static_assert(offsetof(OPCITEMVQT, wQuality) == 20, "OPCITEMVQT.wQuality");
_Static_assert(offsetof(OPCITEMVQT, wReserved) == 22, "OPCITEMVQT.wReserved");
_Static_assert(offsetof(OPCITEMVQT, bTimeStampSpecified) == 24, "OPCITEMVQT.bTimeStampSpecified");
_Static_assert(offsetof(OPCITEMVQT, dwReserved) == 28, "OPCITEMVQT.dwReserved");
_Static_assert(offsetof(OPCITEMVQT, ftTimeStamp) == 32, "OPCITEMVQT.ftTimeStamp");
#endif
