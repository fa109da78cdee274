// VARIANT values as text, as JSON and back from text. Numbers always go through the
// invariant locale, so "12.5" means the same on a Russian desktop as on any other.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <string>

#include "json_writer.h"
#include "variant.h"

// "VT_R4", "VT_ARRAY | VT_R8".
std::wstring VarTypeName(VARTYPE type);

// Table form: strings in quotes, arrays as [a, b], VT_EMPTY as nothing.
std::wstring FormatValue(const VARIANT& value, bool quoteStrings = true);

// JSON form: numbers as numbers, booleans, strings, arrays; null for VT_EMPTY / VT_NULL.
void WriteJsonValue(JsonWriter& json, const VARIANT& value);

// `text` converted to `type` (booleans also from true/false/1/0, arrays from "[a, b]" or
// "a, b"); on failure the conversion's code, and `out` is left empty.
HRESULT ParseValue(const std::wstring& text, VARTYPE type, Variant& out);
