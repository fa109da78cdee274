// props: every property of an item through IOPCItemProperties: its ID, description, type and
// value, and the item identifier the server gives for it.
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "co_task_mem.h"
#include "commands.h"
#include "com_ptr.h"
#include "connection.h"
#include "console_output.h"
#include "hresult_text.h"
#include "json_writer.h"
#include "text_table.h"
#include "tool_error.h"
#include "value_format.h"
#include "variant.h"

namespace {

template <class T>
using CoTaskPtr = std::unique_ptr<T, CoTaskMemDeleter>;

struct Property {
    DWORD id = 0;
    std::wstring description, itemId;
    VARTYPE type = VT_EMPTY;
    Variant value;
    HRESULT error = S_OK;
    std::wstring errorText;  // the server's text for a failed value
};

std::vector<Property> ReadProperties(Connection& connection, IOPCItemProperties* props,
                                     const std::wstring& item) {
    LPWSTR id = const_cast<wchar_t*>(item.c_str());
    DWORD count = 0;
    DWORD* rawIds = nullptr;
    LPWSTR* rawDescriptions = nullptr;
    VARTYPE* rawTypes = nullptr;
    HRESULT hr = props->QueryAvailableProperties(id, &count, &rawIds, &rawDescriptions, &rawTypes);
    CoTaskPtr<DWORD> ids(rawIds);
    CoTaskPtr<LPWSTR> descriptions(rawDescriptions);
    CoTaskPtr<VARTYPE> types(rawTypes);
    std::vector<Property> result(SUCCEEDED(hr) ? count : 0);
    for (size_t i = 0; i < result.size(); ++i) {
        result[i].id = ids.get()[i];
        result[i].description = descriptions.get()[i] ? descriptions.get()[i] : L"";
        CoTaskMemFree(descriptions.get()[i]);
        result[i].type = types.get()[i];
    }
    if (FAILED(hr))
        ThrowFailure(L"QueryAvailableProperties failed: " + CodeWithName(hr) + L" " +
                     connection.ErrorText(hr));
    if (result.empty()) return result;

    VARIANT* rawValues = nullptr;
    HRESULT* rawErrors = nullptr;
    hr = props->GetItemProperties(id, count, ids.get(), &rawValues, &rawErrors);
    CoTaskPtr<VARIANT> values(rawValues);
    CoTaskPtr<HRESULT> errors(rawErrors);
    if (SUCCEEDED(hr) && values && errors) {
        for (size_t i = 0; i < result.size(); ++i) {
            *result[i].value.Put() = values.get()[i];  // taken over: freed with the result
            result[i].error = errors.get()[i];
            if (FAILED(result[i].error))
                result[i].errorText = connection.ErrorText(result[i].error);
        }
    } else if (hr == OPC_E_UNKNOWNITEMID || hr == OPC_E_INVALIDITEMID) {
        ThrowFailure(L"unknown item " + item + L": " + CodeWithName(hr) + L" " +
                     connection.ErrorText(hr));
    } else {
        ThrowFailure(L"GetItemProperties failed: " + CodeWithName(hr) + L" " +
                     connection.ErrorText(hr));
    }

    LPWSTR* rawItemIds = nullptr;
    rawErrors = nullptr;
    hr = props->LookupItemIDs(id, count, ids.get(), &rawItemIds, &rawErrors);
    CoTaskPtr<LPWSTR> itemIds(rawItemIds);
    CoTaskPtr<HRESULT> lookupErrors(rawErrors);
    if (SUCCEEDED(hr) && itemIds)
        for (size_t i = 0; i < result.size(); ++i) {
            if (itemIds.get()[i]) result[i].itemId = itemIds.get()[i];
            CoTaskMemFree(itemIds.get()[i]);
        }
    return result;
}

// A value as the table shows it; the EU type with its meaning, which its number does not tell
// a reader.
std::wstring ShownValue(const Property& p) {
    if (FAILED(p.error)) return CodeWithName(p.error) + L" " + p.errorText;
    std::wstring text = FormatValue(*p.value.Get());
    if (p.id == OPC_PROPERTY_EU_TYPE && p.value.Type() == VT_I4) {
        static const wchar_t* const kinds[] = {L"none", L"analog", L"enumerated"};
        const LONG kind = V_I4(p.value.Get());
        if (kind >= 0 && kind < 3) text += std::wstring(L" (") + kinds[kind] + L")";
    }
    return text;
}

int RunProps(const Options& options) {
    Connection connection(options.arguments[0]);
    const std::wstring& item = options.arguments[1];
    ComPtr<IOPCItemProperties> props;
    const HRESULT qi = connection.Server()->QueryInterface(IID_IOPCItemProperties, props.PutVoid());
    if (FAILED(qi)) ThrowFailure(L"the server has no item properties: " + CodeWithName(qi));
    const std::vector<Property> properties = ReadProperties(connection, props.Get(), item);

    if (options.json) {
        JsonWriter json;
        json.BeginArray();
        for (const Property& p : properties) {
            json.BeginObject();
            json.Key(L"id");
            json.Unsigned(p.id);
            json.Key(L"description");
            json.String(p.description);
            json.Key(L"type");
            json.String(VarTypeName(p.type));
            json.Key(L"value");
            WriteJsonValue(json, *p.value.Get());
            json.Key(L"item_id");
            json.String(p.itemId);
            json.Key(L"error");
            json.String(HexCode(p.error));
            json.Key(L"error_text");
            json.String(p.errorText);
            json.EndObject();
        }
        json.EndArray();
        WriteOut(json.Text());
        return 0;
    }
    TextTable table({L"ID", L"Description", L"Type", L"Value", L"Item ID"});
    table.AlignRight(0);
    for (const Property& p : properties)
        table.AddRow(
            {std::to_wstring(p.id), p.description, VarTypeName(p.type), ShownValue(p), p.itemId});
    WriteOut(item + L"\n" + table.Render());
    return 0;
}

}  // namespace

const Command kPropsCommand{
    L"props",
    L"props PROGID ITEM [--json]",
    L"list an item's properties with their IDs, types and values",
    L"Asks IOPCItemProperties for every property of ITEM (QueryAvailableProperties), reads\n"
    L"their values (GetItemProperties) and the item identifiers the server gives them\n"
    L"(LookupItemIDs).\n"
    L"  --json   an array of {id, description, type, value, item_id, error, error_text}\n"
    L"Exits with 1 when the server does not know the item.\n",
    kOptJson,
    2,
    2,
    RunProps};
