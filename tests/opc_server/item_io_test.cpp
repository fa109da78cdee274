// IOPCItemIO of the server object through a real client connection: reads and writes by item
// identifier, without a group. The probe's bench tags go up by one at every driver update
// (ChangePercent 100), so a value tells whether a read updated the driver first.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "opc_client_fixture.h"
#include "value_reads.h"
#include "variants.h"
#include "variant.h"

namespace {

constexpr DWORD kCache = 0xFFFFFFFF;

using IdRead = ValueReads;

IdRead ReadIds(IOPCItemIO* io, const std::vector<const wchar_t*>& ids, std::vector<DWORD> ages) {
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* timestamps = nullptr;
    HRESULT* errors = nullptr;
    const DWORD n = static_cast<DWORD>(ids.size());
    const HRESULT hr = io->Read(n, const_cast<LPCWSTR*>(ids.data()), ages.data(), &values,
                                &qualities, &timestamps, &errors);
    return TakeValueReads(hr, n, values, qualities, timestamps, errors);
}

OPCITEMVQT Vqt(Variant value, bool quality = false, bool timestamp = false) {
    OPCITEMVQT v{};
    value.DetachTo(&v.vDataValue);
    v.bQualitySpecified = quality;
    v.wQuality = OPC_QUALITY_GOOD;
    v.bTimeStampSpecified = timestamp;
    CoFileTimeNow(&v.ftTimeStamp);
    return v;
}

struct WriteResult {
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
};

WriteResult WriteIds(IOPCItemIO* io, const std::vector<const wchar_t*>& ids,
                     std::vector<OPCITEMVQT> vqts) {
    WriteResult w;
    HRESULT* errors = nullptr;
    w.hr = io->WriteVQT(static_cast<DWORD>(ids.size()), const_cast<LPCWSTR*>(ids.data()),
                        vqts.data(), &errors);
    if (errors) w.errors.assign(errors, errors + ids.size());
    CoTaskMemFree(errors);
    for (OPCITEMVQT& v : vqts) VariantClear(&v.vDataValue);
    return w;
}

class ServerItemIo : public OpcClientTest {
  protected:
    static void SetUpTestSuite() {
        Install(std::string(ServerInstallation::kProbeTree) + "bench=Bench:2\n");
    }
    void SetUp() override {
        OpcClientTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(S_OK, server_.As(io_));
    }
    ComPtr<IOPCItemIO> io_;
};

TEST_F(ServerItemIo, ReadsTagsByIdentifierAndTellsUnknownFromMalformed) {
    IdRead r = ReadIds(io_.Get(),
                       {L"Probe.Dev.Temp", L"Probe.Dev.Count", L"Probe.Dev.Text", L"Probe.Dev.Nope",
                        L"NoDriverName", L"Nobody.Dev.Temp", L"Probe.Dev", nullptr, L""},
                       {0, kCache, 1000, 0, 0, 0, 0, 0, kCache});
    EXPECT_EQ(S_FALSE, r.hr);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK, S_OK, OPC_E_UNKNOWNITEMID, OPC_E_INVALIDITEMID,
                                    OPC_E_UNKNOWNITEMID, OPC_E_UNKNOWNITEMID, OPC_E_INVALIDITEMID,
                                    OPC_E_INVALIDITEMID}),
              r.errors);
    EXPECT_FLOAT_EQ(21.5f, V_R4(r.values[0].Get()));
    EXPECT_EQ(7, V_I4(r.values[1].Get()));
    EXPECT_STREQ(L"hello", V_BSTR(r.values[2].Get()));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(OPC_QUALITY_GOOD, r.qualities[i]);
        EXPECT_NE(0u, r.timestamps[i].dwHighDateTime);
    }
    for (size_t i = 3; i < r.values.size(); ++i) EXPECT_EQ(VT_EMPTY, V_VT(r.values[i].Get()));

    r = ReadIds(io_.Get(), {L"Probe.Dev.Temp"}, {kCache});
    EXPECT_EQ(S_OK, r.hr);
}

TEST_F(ServerItemIo, AnAgeBelowInfinityUpdatesTheDriverAndInfinityTakesItsValueAsItIs) {
    ASSERT_EQ(S_OK, WriteIds(io_.Get(), {L"Probe.Bench.ChangePercent"}, {Vqt(MakeR8(100))}).hr);
    const double first = V_R8(ReadIds(io_.Get(), {L"Probe.Bench.T00000"}, {0}).values[0].Get());
    const double second =
        V_R8(ReadIds(io_.Get(), {L"Probe.Bench.T00000"}, {60000}).values[0].Get());
    EXPECT_GT(second, first) << "no cache without a group: the device";
    IdRead asIs =
        ReadIds(io_.Get(), {L"Probe.Bench.T00000", L"Probe.Bench.T00001"}, {kCache, kCache});
    ASSERT_EQ(S_OK, asIs.hr);
    EXPECT_EQ(second, V_R8(asIs.values[0].Get())) << "the driver's value, no update";
}

TEST_F(ServerItemIo, WriteVqtWritesPlainValuesAndRefusesTheRestItemByItem) {
    WriteResult w =
        WriteIds(io_.Get(),
                 {L"Probe.Dev.Temp", L"Probe.Dev.Count", L"Probe.Dev.Text", L"Probe.Dev.Fixed",
                  L"Probe.Dev.Count", L"Probe.Dev.Nope", L"Bad", nullptr},
                 {Vqt(MakeR8(33.5)), Vqt(MakeR8(5), true), Vqt(MakeBstr(L"new"), false, true),
                  Vqt(MakeR8(1)), Vqt(MakeBstr(L"not a number")), Vqt(MakeR8(1)), Vqt(MakeR8(1)),
                  Vqt(MakeR8(1))});
    EXPECT_EQ(S_FALSE, w.hr);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, OPC_E_NOTSUPPORTED, OPC_E_NOTSUPPORTED, OPC_E_BADRIGHTS,
                                    OPC_E_BADTYPE, OPC_E_UNKNOWNITEMID, OPC_E_INVALIDITEMID,
                                    OPC_E_INVALIDITEMID}),
              w.errors);
    IdRead r =
        ReadIds(io_.Get(), {L"Probe.Dev.Temp", L"Probe.Dev.Count", L"Probe.Dev.Text"}, {0, 0, 0});
    EXPECT_FLOAT_EQ(33.5f, V_R4(r.values[0].Get())) << "converted to the tag's type";
    EXPECT_EQ(7, V_I4(r.values[1].Get()));
    EXPECT_STREQ(L"hello", V_BSTR(r.values[2].Get()));
    EXPECT_EQ(S_OK, WriteIds(io_.Get(), {L"Probe.Dev.Temp"}, {Vqt(MakeR8(21.5))}).hr);
}

}  // namespace
