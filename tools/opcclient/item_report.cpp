#include "item_report.h"

#include "console_output.h"
#include "hresult_text.h"
#include "quality.h"
#include "time_format.h"
#include "value_format.h"

std::wstring ErrorCell(const ItemReport& report) {
    if (report.error == S_OK) return L"";
    return report.errorText.empty() ? CodeWithName(report.error)
                                    : CodeWithName(report.error) + L" " + report.errorText;
}

void WriteJsonItem(JsonWriter& json, const ItemReport& report) {
    json.BeginObject();
    json.Key(L"item");
    json.String(report.item);
    json.Key(L"value");
    WriteJsonValue(json, *report.value.Get());
    json.Key(L"type");
    json.String(VarTypeName(report.type));
    json.Key(L"quality");
    if (report.quality)
        json.Unsigned(*report.quality);
    else
        json.Null();
    json.Key(L"quality_text");
    if (report.quality)
        json.String(QualityText(*report.quality));
    else
        json.Null();
    json.Key(L"timestamp");
    const std::wstring time = FormatLocalTime(report.timestamp);
    if (time.empty())
        json.Null();
    else
        json.String(time);
    json.Key(L"error");
    json.String(HexCode(report.error));
    json.Key(L"error_text");
    json.String(report.errorText);
    json.EndObject();
}

void PrintJsonItems(const std::vector<ItemReport>& reports) {
    JsonWriter writer;
    writer.BeginArray();
    for (const ItemReport& report : reports) WriteJsonItem(writer, report);
    writer.EndArray();
    WriteOut(writer.Text());
}
