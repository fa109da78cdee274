// The Modbus TCP driver's protocol pieces against the protocol's own examples: frames and
// their answers (exceptions, pieces, garbage), values in every type and word and byte order,
// the address notation, and the merging of neighbouring tags into few requests.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "address_notation.h"
#include "modbus_pdu.h"
#include "request_plan.h"
#include "value_codec.h"

using namespace modbus;

namespace {

struct Value {
    VARIANT v;
    Value() { VariantInit(&v); }
    ~Value() { VariantClear(&v); }
};

Value Number(double d) {
    Value value;
    V_VT(&value.v) = VT_R8;
    V_R8(&value.v) = d;
    return value;
}

}  // namespace

TEST(ModbusFrames, RequestsAreTheProtocolsBytes) {
    EXPECT_EQ((Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}),
              Frame(1, 0x11, ReadRequest(Table::kHoldingRegister, 0x6B, 3)));
    EXPECT_EQ((Bytes{0x01, 0x00, 0x13, 0x00, 0x13}), ReadRequest(Table::kCoil, 0x13, 19));
    EXPECT_EQ((Bytes{0x02, 0x00, 0xC4, 0x00, 0x16}), ReadRequest(Table::kDiscreteInput, 0xC4, 22));
    EXPECT_EQ((Bytes{0x04, 0x00, 0x08, 0x00, 0x01}), ReadRequest(Table::kInputRegister, 8, 1));
    EXPECT_EQ((Bytes{0x05, 0x00, 0xAC, 0xFF, 0x00}), WriteCoilRequest(0xAC, true));
    EXPECT_EQ((Bytes{0x06, 0x00, 0x01, 0x00, 0x03}), WriteRegisterRequest(1, 3));
    const std::vector<bool> coils{1, 0, 1, 1, 0, 0, 1, 1, 1, 0};  // CD 01
    EXPECT_EQ((Bytes{0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}),
              WriteCoilsRequest(0x13, coils));
    EXPECT_EQ((Bytes{0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}),
              WriteRegistersRequest(1, {0x000A, 0x0102}));
}

TEST(ModbusFrames, AnswersAreReadWhateverPiecesTheyComeIn) {
    const Bytes first = Frame(7, 1, {0x03, 0x06, 0x02, 0x2B, 0x00, 0x00, 0x00, 0x64});
    const Bytes second = Frame(8, 1, {0x83, 0x02});
    FrameReader reader;
    Adu adu;
    for (size_t i = 0; i + 1 < first.size(); ++i) {
        reader.Append(&first[i], 1);
        EXPECT_EQ(FrameReader::Result::kNeedMore, reader.Take(adu)) << i;
    }
    Bytes rest{first.back()};
    rest.insert(rest.end(), second.begin(), second.end());
    reader.Append(rest.data(), rest.size());
    ASSERT_EQ(FrameReader::Result::kFrame, reader.Take(adu));
    EXPECT_EQ(7, adu.transaction);
    Answer registers = ParseReadAnswer(adu.pdu, Table::kHoldingRegister, 3);
    ASSERT_EQ(Answer::Kind::kOk, registers.kind);
    EXPECT_EQ((std::vector<uint16_t>{555, 0, 100}), registers.registers);
    ASSERT_EQ(FrameReader::Result::kFrame, reader.Take(adu));
    EXPECT_EQ(8, adu.transaction);
    Answer refused = ParseReadAnswer(adu.pdu, Table::kHoldingRegister, 3);
    EXPECT_EQ(Answer::Kind::kException, refused.kind);
    EXPECT_EQ(2, refused.exception);
    EXPECT_EQ(FrameReader::Result::kNeedMore, reader.Take(adu));

    // Another protocol, or a length no frame has: the stream cannot be read on.
    for (const Bytes& garbage : {Bytes{0, 1, 0, 5, 0, 3, 1, 3, 0}, Bytes{0, 1, 0, 0, 1, 0, 1},
                                 Bytes{0, 1, 0, 0, 0, 1, 1}}) {
        FrameReader bad;
        bad.Append(garbage.data(), garbage.size());
        EXPECT_EQ(FrameReader::Result::kCorrupt, bad.Take(adu));
    }
}

TEST(ModbusFrames, AnswersThatDoNotFitTheRequestAreMalformed) {
    Answer coils = ParseReadAnswer({0x01, 0x03, 0xCD, 0x6B, 0x05}, Table::kCoil, 19);
    ASSERT_EQ(Answer::Kind::kOk, coils.kind);
    const std::vector<bool> expected{1, 0, 1, 1, 0, 0, 1, 1, 1, 1, 0, 1, 0, 1, 1, 0, 1, 0, 1};
    EXPECT_EQ(expected, coils.bits);
    // Wrong function, byte count that disagrees with the data or with the request.
    EXPECT_EQ(Answer::Kind::kMalformed,
              ParseReadAnswer({0x04, 0x02, 0, 1}, Table::kHoldingRegister, 1).kind);
    EXPECT_EQ(Answer::Kind::kMalformed,
              ParseReadAnswer({0x03, 0x04, 0, 1}, Table::kHoldingRegister, 2).kind);
    EXPECT_EQ(Answer::Kind::kMalformed,
              ParseReadAnswer({0x03, 0x02, 0, 1}, Table::kHoldingRegister, 2).kind);
    EXPECT_EQ(Answer::Kind::kMalformed, ParseReadAnswer({}, Table::kCoil, 1).kind);

    const Bytes write = WriteRegistersRequest(1, {10, 258});
    EXPECT_EQ(Answer::Kind::kOk, ParseWriteAnswer({0x10, 0x00, 0x01, 0x00, 0x02}, write).kind);
    EXPECT_EQ(Answer::Kind::kMalformed,
              ParseWriteAnswer({0x10, 0x00, 0x01, 0x00, 0x01}, write).kind);
    Answer refused = ParseWriteAnswer({0x90, 0x04}, write);
    EXPECT_EQ(Answer::Kind::kException, refused.kind);
    EXPECT_EQ(4, refused.exception);
    EXPECT_EQ(Answer::Kind::kOk,
              ParseWriteAnswer(WriteCoilRequest(3, true), WriteCoilRequest(3, true)).kind);
    EXPECT_EQ(Answer::Kind::kMalformed,
              ParseWriteAnswer(WriteCoilRequest(3, false), WriteCoilRequest(3, true)).kind);
}

TEST(ModbusValues, EveryTypeAndOrderGoesThereAndBack) {
    struct Case {
        DataType type;
        double value;
    };
    const Case cases[] = {{DataType::kInt16, -12345},     {DataType::kUInt16, 65535},
                          {DataType::kInt32, -123456789}, {DataType::kUInt32, 4000000000.0},
                          {DataType::kFloat32, 123.5},    {DataType::kFloat64, -1.0e-300}};
    for (const Case& c : cases) {
        for (int order = 0; order < 4; ++order) {
            Encoding e;
            e.type = c.type;
            e.lowWordFirst = order & 1;
            e.swapBytes = order & 2;
            std::vector<uint16_t> registers;
            ASSERT_EQ(S_OK, EncodeRegisters(e, Number(c.value).v, registers));
            ASSERT_EQ(RegisterCount(e), registers.size());
            Value back;
            ASSERT_TRUE(DecodeRegisters(e, registers.data(), registers.size(), &back.v));
            EXPECT_EQ(ValueType(e), V_VT(&back.v));
            Value asDouble;
            ASSERT_EQ(S_OK, VariantChangeType(&asDouble.v, &back.v, 0, VT_R8));
            EXPECT_EQ(c.value, V_R8(&asDouble.v)) << static_cast<int>(c.type) << " " << order;
        }
    }
}

TEST(ModbusValues, WordAndByteOrdersAreTheDevicesLayouts) {
    // 123.456f is 0x42F6E979: ABCD, CDAB, BADC, DCBA.
    const std::vector<uint16_t> layouts[] = {
        {0x42F6, 0xE979}, {0xE979, 0x42F6}, {0xF642, 0x79E9}, {0x79E9, 0xF642}};
    for (int order = 0; order < 4; ++order) {
        Encoding e;
        e.type = DataType::kFloat32;
        e.lowWordFirst = order & 1;
        e.swapBytes = order & 2;
        Value v;
        ASSERT_TRUE(DecodeRegisters(e, layouts[order].data(), 2, &v.v));
        EXPECT_FLOAT_EQ(123.456f, V_R4(&v.v)) << order;
    }
    Encoding word;
    word.type = DataType::kInt16;
    std::vector<uint16_t> registers;
    ASSERT_EQ(S_OK, EncodeRegisters(word, Number(-1).v, registers));
    EXPECT_EQ(0xFFFF, registers[0]);
    Value unused;
    EXPECT_FALSE(DecodeRegisters(Encoding{DataType::kInt32}, registers.data(), 1, &unused.v))
        << "too few registers";
}

TEST(ModbusValues, RefusedValuesAndRanges) {
    std::vector<uint16_t> registers{7};
    EXPECT_EQ(DISP_E_OVERFLOW,
              EncodeRegisters(Encoding{DataType::kUInt16}, Number(-1).v, registers));
    EXPECT_EQ(DISP_E_OVERFLOW,
              EncodeRegisters(Encoding{DataType::kInt16}, Number(32768).v, registers));
    EXPECT_EQ(DISP_E_OVERFLOW,
              EncodeRegisters(Encoding{DataType::kUInt32}, Number(4294967296.0).v, registers));
    EXPECT_EQ(DISP_E_OVERFLOW,
              EncodeRegisters(Encoding{DataType::kFloat32}, Number(1e300).v, registers));
    Value text;
    V_VT(&text.v) = VT_BSTR;
    V_BSTR(&text.v) = SysAllocString(L"not a number");
    EXPECT_EQ(DISP_E_TYPEMISMATCH, EncodeRegisters(Encoding{DataType::kInt32}, text.v, registers));
    EXPECT_EQ((std::vector<uint16_t>{7}), registers) << "a refused value leaves the output";
}

TEST(ModbusValues, StringsInCp1251UpToTheirRegisters) {
    Encoding e;
    e.type = DataType::kString;
    e.stringRegisters = 4;
    Value text;
    V_VT(&text.v) = VT_BSTR;
    V_BSTR(&text.v) = SysAllocString(L"Котёл");
    std::vector<uint16_t> registers;
    ASSERT_EQ(S_OK, EncodeRegisters(e, text.v, registers));
    EXPECT_EQ((std::vector<uint16_t>{0xCAEE, 0xF2B8, 0xEB00, 0x0000}), registers);
    Value back;
    ASSERT_TRUE(DecodeRegisters(e, registers.data(), registers.size(), &back.v));
    EXPECT_STREQ(L"Котёл", V_BSTR(&back.v));
    e.swapBytes = true;
    ASSERT_EQ(S_OK, EncodeRegisters(e, text.v, registers));
    EXPECT_EQ(0xEECA, registers[0]);
    e.stringRegisters = 2;
    EXPECT_EQ(DISP_E_OVERFLOW, EncodeRegisters(e, text.v, registers));
}

TEST(ModbusValues, ScalingMapsRawToEngineeringUnitsAndBack) {
    Encoding e;
    e.type = DataType::kUInt16;
    e.scaling = Scaling{true, 0, 4000, 4, 20};  // 0..4000 counts are 4..20 mA
    EXPECT_EQ(VT_R8, ValueType(e));
    const uint16_t raw = 2000;
    Value v;
    ASSERT_TRUE(DecodeRegisters(e, &raw, 1, &v.v));
    EXPECT_DOUBLE_EQ(12.0, V_R8(&v.v));
    std::vector<uint16_t> registers;
    ASSERT_EQ(S_OK, EncodeRegisters(e, Number(20).v, registers));
    EXPECT_EQ(4000, registers[0]);
    EXPECT_EQ(DISP_E_OVERFLOW, EncodeRegisters(e, Number(3).v, registers)) << "below raw 0";
}

TEST(ModbusAddresses, EngineersNotationBothWays) {
    EXPECT_EQ("40001", EngineerAddress(Table::kHoldingRegister, 0));
    EXPECT_EQ("00100", EngineerAddress(Table::kCoil, 99));
    EXPECT_EQ("19999", EngineerAddress(Table::kDiscreteInput, 9998));
    EXPECT_EQ("310000", EngineerAddress(Table::kInputRegister, 9999));
    EXPECT_EQ("465536", EngineerAddress(Table::kHoldingRegister, 65535));
    Table table;
    uint16_t address = 0;
    ASSERT_TRUE(ParseEngineerAddress("40001", table, address));
    EXPECT_EQ(Table::kHoldingRegister, table);
    EXPECT_EQ(0, address);
    ASSERT_TRUE(ParseEngineerAddress("400001", table, address));
    EXPECT_EQ(0, address);
    ASSERT_TRUE(ParseEngineerAddress("465536", table, address));
    EXPECT_EQ(65535, address);
    for (const char* bad : {"", "4", "20001", "40000", "465537", "4000a", "4000001", "-0001"})
        EXPECT_FALSE(ParseEngineerAddress(bad, table, address)) << bad;
}

TEST(ModbusRequests, NeighboursShareARequestWithinTheProtocolsLimits) {
    // Registers 0, 1-2, 10 and 200: with gaps of up to 8, register 10 (7 past the end of 1-2)
    // joins the first two; 200 is a request of its own.
    std::vector<Span> spans{{10, 1}, {0, 1}, {1, 2}, {200, 4}};
    std::vector<PlannedRead> plan = PlanReads(Table::kHoldingRegister, spans, 8);
    ASSERT_EQ(2u, plan.size());
    EXPECT_EQ(0, plan[0].address);
    EXPECT_EQ(11, plan[0].count);
    EXPECT_EQ((std::vector<size_t>{1, 2, 0}), plan[0].tags);
    EXPECT_EQ(200, plan[1].address);
    EXPECT_EQ(4, plan[1].count);

    // A hundred and thirty neighbouring registers need two requests, 2,500 coils two.
    std::vector<Span> many;
    for (uint16_t a = 0; a < 130; ++a) many.push_back({a, 1});
    plan = PlanReads(Table::kInputRegister, many, 0);
    ASSERT_EQ(2u, plan.size());
    EXPECT_EQ(125, plan[0].count);
    EXPECT_EQ(5, plan[1].count);
    std::vector<Span> coils;
    for (uint16_t a = 0; a < 2500; ++a) coils.push_back({a, 1});
    plan = PlanReads(Table::kCoil, coils, 0);
    ASSERT_EQ(2u, plan.size());
    EXPECT_EQ(2000, plan[0].count);

    // Too large for any request, or past the end of the table: left out.
    plan = PlanReads(Table::kHoldingRegister, {{0, 126}, {65535, 2}, {5, 0}}, 8);
    EXPECT_TRUE(plan.empty());
}
