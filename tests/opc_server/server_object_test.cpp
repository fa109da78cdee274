// The server object through a real client connection: groups and their handles, status,
// error texts and locale, enumerators, persistence and the shutdown connection point.
#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "opc_client_fixture.h"
#include "test_objects.h"

namespace {

class ServerObject : public OpcClientTest {
  protected:
    std::vector<std::wstring> Names(OPCENUMSCOPE scope) { return GroupNames(server_.Get(), scope); }
};

TEST_F(ServerObject, GroupNamesAreUniquePerServerAndSeparateFromPublicNames) {
    AddedGroup empty = AddGroupTo(server_.Get(), L"");
    EXPECT_EQ(S_OK, empty.hr);
    AddedGroup again = AddGroupTo(server_.Get(), L"");
    EXPECT_EQ(OPC_E_DUPLICATENAME, again.hr);
    EXPECT_FALSE(again.state);

    ComPtr<IOPCServer> other = Another<IOPCServer>();
    ASSERT_TRUE(other);
    EXPECT_EQ(S_OK, AddGroupTo(other.Get(), L"").hr) << "another connection has its own names";

    AddedGroup shared = AddGroupTo(server_.Get(), L"Shared");
    ASSERT_EQ(S_OK, shared.hr);
    ASSERT_EQ(S_OK, MoveToPublic(shared.state.Get()));
    EXPECT_EQ(S_OK, AddGroupTo(server_.Get(), L"Shared").hr) << "public names are apart";
    EXPECT_EQ(S_OK, AddGroupTo(other.Get(), L"Shared").hr);
}

TEST_F(ServerObject, AddGroupChecksItsArgumentsAndRevisesTheRate) {
    AddedGroup fast = AddGroupTo(server_.Get(), L"Fast", 100);
    EXPECT_EQ(S_OK, fast.hr) << "the rate warning of SetState is not passed on";
    EXPECT_EQ(250u, fast.revisedRate);

    IUnknown* unk = reinterpret_cast<IUnknown*>(1);
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    EXPECT_EQ(E_NOINTERFACE, server_->AddGroup(L"Odd", TRUE, 1000, 0, nullptr, nullptr, 1049,
                                               &handle, &revised, IID_IOPCShutdown, &unk));
    EXPECT_EQ(nullptr, unk);
    ComPtr<IUnknown> found;
    EXPECT_EQ(E_FAIL, server_->GetGroupByName(L"Odd", IID_IUnknown, found.Put()))
        << "a group the client could not get is not kept";
    EXPECT_EQ(E_FAIL, server_->GetGroupByName(L"fast", IID_IUnknown, found.Put()))
        << "names are case-sensitive";
    EXPECT_EQ(S_OK, server_->GetGroupByName(L"Fast", IID_IOPCGroupStateMgt, found.Put()));
}

TEST_F(ServerObject, ARemovedGroupInUseKeepsWorkingAndItsHandleIsReused) {
    AddedGroup held = AddGroupTo(server_.Get(), L"Held");
    ASSERT_EQ(S_OK, held.hr);
    EXPECT_EQ(OPC_S_INUSE, server_->RemoveGroup(held.handle, FALSE));
    EXPECT_EQ(S_OK, StateOf(held.state.Get()).hr) << "the client's group still works";
    ComPtr<IUnknown> found;
    EXPECT_EQ(E_FAIL, server_->GetGroupByName(L"Held", IID_IUnknown, found.Put()));
    EXPECT_EQ(E_FAIL, server_->RemoveGroup(held.handle, FALSE)) << "already removed";

    AddedGroup next = AddGroupTo(server_.Get(), L"Next");
    ASSERT_EQ(S_OK, next.hr);
    EXPECT_EQ(held.handle, next.handle) << "the freed entry is reused first";
    next.state.Reset();
    EXPECT_EQ(S_OK, server_->RemoveGroup(next.handle, FALSE)) << "no client reference left";
    EXPECT_EQ(E_FAIL, server_->RemoveGroup(0xDEADBEEF, TRUE));
}

TEST_F(ServerObject, AForcedRemovalCutsOffTheClientsReferences) {
    AddedGroup held = AddGroupTo(server_.Get(), L"Forced");
    ASSERT_EQ(S_OK, held.hr);
    EXPECT_EQ(S_OK, server_->RemoveGroup(held.handle, TRUE));
    EXPECT_TRUE(FAILED(StateOf(held.state.Get()).hr)) << "the group is gone for the client";
    EXPECT_TRUE(FAILED(held.state->SetName(L"Again")));
    held.state.Reset();
    EXPECT_EQ(S_OK, AddGroupTo(server_.Get(), L"Forced").hr) << "the server is unharmed";
}

TEST_F(ServerObject, AGroupMovedToPublicIsRemovedThroughThePublicList) {
    AddedGroup g = AddGroupTo(server_.Get(), L"Moving");
    ASSERT_EQ(S_OK, g.hr);
    ASSERT_EQ(S_OK, MoveToPublic(g.state.Get()));
    const OPCHANDLE publicHandle = StateOf(g.state.Get()).server;
    EXPECT_NE(g.handle, publicHandle);
    EXPECT_EQ(E_FAIL, server_->RemoveGroup(g.handle, FALSE));
    ComPtr<IOPCServerPublicGroups> pub;
    ASSERT_EQ(S_OK, server_.As(pub));
    ComPtr<IUnknown> found;
    EXPECT_EQ(S_OK, pub->GetPublicGroupByName(L"Moving", IID_IOPCGroupStateMgt, found.Put()));
    found.Reset();
    g.state.Reset();
    EXPECT_EQ(S_OK, pub->RemovePublicGroup(publicHandle, FALSE));
    EXPECT_EQ(E_FAIL, pub->GetPublicGroupByName(L"Moving", IID_IUnknown, found.Put()));
    EXPECT_EQ(E_FAIL, pub->RemovePublicGroup(publicHandle, FALSE));
}

TEST_F(ServerObject, StatusCountsGroupsAndBelongsToTheCaller) {
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, server_->GetStatus(&status));
    ASSERT_NE(nullptr, status);
    EXPECT_EQ(0u, status->dwGroupCount);
    EXPECT_EQ(OPC_STATUS_RUNNING, status->dwServerState);
    EXPECT_EQ(0xFFFFFFFFu, status->dwBandWidth);
    EXPECT_EQ(1, status->wMajorVersion);
    EXPECT_EQ(0, status->wMinorVersion);
    EXPECT_EQ(1, status->wBuildNumber);
    EXPECT_EQ(0, CompareFileTime(&status->ftStartTime, &status->ftLastUpdateTime));
    EXPECT_LE(CompareFileTime(&status->ftStartTime, &status->ftCurrentTime), 0);
    ASSERT_NE(nullptr, status->szVendorInfo);
    EXPECT_NE(L'\0', status->szVendorInfo[0]);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    AddedGroup a = AddGroupTo(server_.Get(), L"A");
    AddedGroup b = AddGroupTo(server_.Get(), L"B");
    ComPtr<IOPCServer> other = Another<IOPCServer>();
    AddedGroup p = AddGroupTo(other.Get(), L"P");
    ASSERT_EQ(S_OK, MoveToPublic(p.state.Get()));
    AddGroupTo(other.Get(), L"Private to the other");
    ASSERT_EQ(S_OK, server_->GetStatus(&status));
    EXPECT_EQ(3u, status->dwGroupCount) << "own private groups and all public groups";
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

// What people read in a client's diagnostics. The operating system knows no OPC code, so
// the texts of these come from the server's own table, in the server's language (Russian) or
// in English, as the locale asks.
const wchar_t kUnknownItemRu[] =
    L"Идентификатора элемента нет в адресном пространстве сервера (или его там больше нет).\r\n";
const wchar_t kUnknownItemEn[] =
    L"The item ID is not in the server's address space (or is no longer there).\r\n";
const wchar_t kNotDescribed[] = L"Ошибка не описана";

std::wstring TextOf(IOPCServer* server, HRESULT code, LCID locale) {
    LPWSTR text = nullptr;
    EXPECT_EQ(S_OK, server->GetErrorString(code, locale, &text));
    std::wstring result = text ? text : L"<null>";
    CoTaskMemFree(text);
    return result;
}

TEST_F(ServerObject, EveryOpcCodeHasItsOwnTextInRussianAndInEnglish) {
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(S_OK, server_.As(common));
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, common->GetErrorString(OPC_E_UNKNOWNITEMID, &text));
    EXPECT_STREQ(kUnknownItemRu, text) << "the server's locale is 1049";
    CoTaskMemFree(text);
    EXPECT_EQ(kUnknownItemRu, TextOf(server_.Get(), OPC_E_UNKNOWNITEMID, 1049));
    EXPECT_EQ(kUnknownItemEn, TextOf(server_.Get(), OPC_E_UNKNOWNITEMID, 1033));
    EXPECT_EQ(kUnknownItemEn, TextOf(server_.Get(), OPC_E_UNKNOWNITEMID, 2057)) << "en-GB";
    EXPECT_EQ(kUnknownItemEn, TextOf(server_.Get(), OPC_E_UNKNOWNITEMID, 1031)) << "de-DE";
    // The neutral locales mean the server's own.
    for (LCID neutral : {LCID{LOCALE_SYSTEM_DEFAULT}, LCID{LOCALE_USER_DEFAULT}, LCID{0}})
        EXPECT_EQ(kUnknownItemRu, TextOf(server_.Get(), OPC_E_UNKNOWNITEMID, neutral)) << neutral;

    // Every code the server returns, and the rest of the OPC codes of its interfaces.
    const HRESULT codes[] = {OPC_E_INVALIDHANDLE,
                             OPC_E_BADTYPE,
                             OPC_E_PUBLIC,
                             OPC_E_BADRIGHTS,
                             OPC_E_UNKNOWNITEMID,
                             OPC_E_INVALIDITEMID,
                             OPC_E_INVALIDFILTER,
                             OPC_E_UNKNOWNPATH,
                             OPC_E_RANGE,
                             OPC_E_DUPLICATENAME,
                             OPC_S_UNSUPPORTEDRATE,
                             OPC_S_CLAMP,
                             OPC_S_INUSE,
                             OPC_E_INVALIDCONFIGFILE,
                             OPC_E_NOTFOUND,
                             OPC_E_INVALID_PID,
                             OPC_E_DEADBANDNOTSET,
                             OPC_E_DEADBANDNOTSUPPORTED,
                             OPC_E_NOBUFFERING,
                             OPC_E_INVALIDCONTINUATIONPOINT,
                             OPC_S_DATAQUEUEOVERFLOW,
                             OPC_E_RATENOTSET,
                             OPC_E_NOTSUPPORTED};
    std::set<std::wstring> russian, english;
    for (HRESULT code : codes) {
        const std::wstring ru = TextOf(server_.Get(), code, 1049);
        const std::wstring en = TextOf(server_.Get(), code, 1033);
        EXPECT_TRUE(std::any_of(ru.begin(), ru.end(), [](wchar_t c) { return c >= 0x400; }))
            << std::hex << code << ": " << ru.size();
        EXPECT_TRUE(en.size() > 10 &&
                    std::all_of(en.begin(), en.end(), [](wchar_t c) { return c < 0x80; }))
            << std::hex << code << ": " << en.size();
        // Ended as the system ends its texts, so that a client trims both alike.
        EXPECT_EQ(L"\r\n", ru.substr(ru.size() - 2)) << std::hex << code;
        EXPECT_EQ(L"\r\n", en.substr(en.size() - 2)) << std::hex << code;
        russian.insert(ru);
        english.insert(en);
    }
    EXPECT_EQ(std::size(codes), russian.size()) << "each code says what went wrong with it";
    EXPECT_EQ(std::size(codes), english.size());
}

TEST_F(ServerObject, OtherCodesHaveTheSystemsTextOrTheFixedOne) {
    for (LCID locale : {1033u, 1049u}) {
        const std::wstring system = TextOf(server_.Get(), E_OUTOFMEMORY, locale);
        EXPECT_NE(kNotDescribed, system) << "a system code gets the system's text";
        EXPECT_NE(L"<null>", system);
        EXPECT_FALSE(system.empty());
        // Codes that nobody describes: none of OPC DA's, nor the system's.
        for (HRESULT unknown : {static_cast<HRESULT>(0xC0040002), static_cast<HRESULT>(0xC0040420),
                                static_cast<HRESULT>(0xE0001234)})
            EXPECT_EQ(kNotDescribed, TextOf(server_.Get(), unknown, locale)) << std::hex << unknown;
    }
}

TEST_F(ServerObject, TheOneLocale) {
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(S_OK, server_.As(common));
    EXPECT_EQ(E_NOTIMPL, common->SetLocaleID(1049));
    LCID lcid = 0;
    EXPECT_EQ(S_OK, common->GetLocaleID(&lcid));
    EXPECT_EQ(1049u, lcid);
    DWORD count = 0;
    LCID* lcids = nullptr;
    ASSERT_EQ(S_OK, common->QueryAvailableLocaleIDs(&count, &lcids));
    ASSERT_EQ(1u, count);
    EXPECT_EQ(1049u, lcids[0]);
    CoTaskMemFree(lcids);
    EXPECT_EQ(S_OK, common->SetClientName(L"Клиент"));
}

TEST_F(ServerObject, GroupEnumeratorsFollowTheScopeAndListPrivateGroupsFirst) {
    AddedGroup one = AddGroupTo(server_.Get(), L"One");
    AddedGroup two = AddGroupTo(server_.Get(), L"Two");
    AddedGroup pub = AddGroupTo(server_.Get(), L"Pub");
    ASSERT_EQ(S_OK, MoveToPublic(pub.state.Get()));
    AddedGroup three = AddGroupTo(server_.Get(), L"Three");

    using Names_ = std::vector<std::wstring>;
    EXPECT_EQ((Names_{L"One", L"Two", L"Three"}), Names(OPC_ENUM_PRIVATE));
    EXPECT_EQ((Names_{L"One", L"Two", L"Three"}), Names(OPC_ENUM_PRIVATE_CONNECTIONS));
    EXPECT_EQ((Names_{L"Pub"}), Names(OPC_ENUM_PUBLIC));
    EXPECT_EQ((Names_{L"One", L"Two", L"Three", L"Pub"}), Names(OPC_ENUM_ALL));
    EXPECT_EQ((Names_{L"One", L"Two", L"Three", L"Pub"}), Names(OPC_ENUM_ALL_CONNECTIONS));
    EXPECT_TRUE(Names(static_cast<OPCENUMSCOPE>(0)).empty());
    EXPECT_TRUE(Names(static_cast<OPCENUMSCOPE>(7)).empty());

    auto groups = GroupsOf(server_.Get(), OPC_ENUM_ALL);
    ASSERT_EQ(4u, groups.size());
    EXPECT_EQ(L"Three", StateOf(groups[2].Get()).name);

    // A snapshot: later changes do not show through.
    ComPtr<IEnumString> e;
    ASSERT_EQ(S_OK, server_->CreateGroupEnumerator(OPC_ENUM_PRIVATE, IID_IEnumString,
                                                   reinterpret_cast<IUnknown**>(e.Put())));
    one.state.Reset();
    server_->RemoveGroup(one.handle, FALSE);
    LPOLESTR names[4] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, e->Next(4, names, &fetched));
    EXPECT_EQ(3u, fetched);
    for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(names[i]);

    ComPtr<IUnknown> unk;
    EXPECT_EQ(E_NOINTERFACE,
              server_->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IOPCShutdown, unk.Put()));
}

TEST_F(ServerObject, PersistStorageHandsTheStorageToTheDriversAndReportsFailure) {
    ComPtr<IPersistStorage> persist;
    ASSERT_EQ(S_OK, server_.As(persist));
    CLSID clsid{};
    EXPECT_EQ(S_OK, persist->GetClassID(&clsid));
    CLSID expected;
    CLSIDFromProgID(L"OPCServerVEXA.OPCServer", &expected);
    EXPECT_TRUE(IsEqualCLSID(expected, clsid));

    ScratchDirectory dir;
    const std::wstring file = std::wstring(dir.Path().begin(), dir.Path().end()) + L"\\p.cfg";
    ComPtr<IStorage> storage;
    ASSERT_EQ(S_OK,
              StgCreateDocfile(file.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                               storage.Put()));
    EXPECT_EQ(E_FAIL, persist->Save(storage.Get(), TRUE));
    ComPtr<IStream> stream;
    EXPECT_EQ(S_OK, storage->OpenStream(L"probe.dll", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                        stream.Put()))
        << "the driver wrote its stream";
    stream.Reset();
    EXPECT_EQ(E_FAIL, persist->Load(storage.Get()));
    auto log = ReadProbeLog(install_->probe_);
    size_t saves = 0, loads = 0;
    for (const ProbeCall& c : log) {
        if (!c.entering || c.entry != "DLLSerialize") continue;
        saves += c.args == "save";
        loads += c.args == "load";
    }
    EXPECT_GE(saves, 1u);
    EXPECT_GE(loads, 1u);
    EXPECT_EQ(E_FAIL, persist->Save(nullptr, FALSE));
    EXPECT_EQ(E_FAIL, persist->IsDirty());
    EXPECT_EQ(S_OK, persist->HandsOffStorage());
}

TEST_F(ServerObject, TheShutdownConnectionPointKeepsSinksInSlotsAndNeverCallsThem) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, server_.As(container));
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(CONNECT_E_NOCONNECTION,
              container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCShutdown, point.Put()));
    IID iid{};
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(IID_IOPCShutdown, iid));

    CountedUnknown notASink;
    DWORD cookie = 123;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(&notASink, &cookie));
    EXPECT_EQ(0u, cookie);

    CountingShutdownSink sinks[6];
    DWORD cookies[6] = {};
    for (int i = 0; i < 5; ++i) ASSERT_EQ(S_OK, point->Advise(&sinks[i], &cookies[i]));
    ASSERT_EQ(S_OK, point->Unadvise(cookies[1]));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookies[1]));
    ASSERT_EQ(S_OK, point->Advise(&sinks[5], &cookies[5]));

#if defined(_WIN64)
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(S_OK, point->EnumConnections(connections.Put()));
    // One at a time: Wine's IEnumConnections proxy garbles the result of a longer Next.
    std::vector<DWORD> listed;
    CONNECTDATA data{};
    while (connections->Next(1, &data, nullptr) == S_OK) {
        listed.push_back(data.dwCookie);
        data.pUnk->Release();
    }
    EXPECT_EQ((std::vector<DWORD>{cookies[0], cookies[5], cookies[2], cookies[3], cookies[4]}),
              listed)
        << "the new sink takes the freed second slot";
    connections.Reset();
#else
    // Wine's 32-bit IEnumConnections stub answers every Next of a 32-bit server with a garbled
    // result (seen from clients of both bitnesses): the slots are listed through the 64-bit
    // server here, and in this process by the connection point's own tests.
#endif

    // The last release of the server object lets go of every sink without calling one.
    point.Reset();
    container.Reset();
    server_.Reset();
    for (int i = 0; i < 100; ++i) {
        bool allBack = true;
        for (auto& s : sinks) allBack = allBack && s.refs == 1;
        if (allBack) break;
        Sleep(50);
    }
    for (auto& s : sinks) {
        EXPECT_EQ(1, s.refs);
        EXPECT_EQ(0, s.calls);
    }
}

}  // namespace
