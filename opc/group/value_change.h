// Whether a value has changed since it was last sent to a client, for reporting by exception.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <optional>

// Exactly the same value: the same type and the same contents (strings by their characters,
// arrays by their bounds and elements). A NaN equals a NaN of the same type, so that a value
// that stays NaN is not sent every cycle. Types whose contents cannot be compared here
// (interfaces, references, arrays of VARIANTs) never count as the same.
bool SameValue(const VARIANT& a, const VARIANT& b) noexcept;

// The value as a number, for the deadband: numeric scalar types only (a string is not
// parsed, so a client that asked for text still sees every change).
std::optional<double> NumericValue(const VARIANT& v) noexcept;

// The deadband rule of an analog item: `now` counts as changed from `last` when it differs by
// more than `percent` of the range's span (low, high). A deadband of 0, or values that are not
// numbers, fall back to SameValue; a change into or out of NaN always counts.
bool MovedBeyondDeadband(const VARIANT& last, const VARIANT& now, float percent, double low,
                         double high) noexcept;
