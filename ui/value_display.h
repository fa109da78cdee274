// How the configurator's items list shows a tag's data type and value.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <string>

// The English name of a variant type: "short int", "real", "array of double", "unknown"...
// The items list is the one owner of these names.
std::string TypeDisplayName(VARTYPE vt);

// A value as text: the platform's conversion to a string where it gives one (numbers and
// dates in its default format, a boolean as -1 or 0, an empty value as nothing). What it
// refuses still gets a readable text, never garbage: the elements of an array in braces
// (the first few, then the count), an error's code, "NULL" for a null value, and the
// conversion's own failure code for anything else.
std::wstring ValueDisplayText(const VARIANT& value);
