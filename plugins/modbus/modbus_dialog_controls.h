// The controls of the driver's object dialog: the dialog builds and reads them, and its tests
// drive them by the same numbers.
#pragma once

#include <winsock2.h>
#include <windows.h>

namespace modbus::dialog {

enum Control : WORD {
    kKind = 1001,
    kName,
    kDescription,
    // a device
    kHost,
    kPort,
    kUnit,
    kPoll,
    kTimeout,
    kRetries,
    // a tag
    kTable,
    kAddress,
    kNotation,
    kType,
    kStringRegisters,
    kLowWordFirst,
    kSwapBytes,
    kScaled,
    kRawLow,
    kRawHigh,
    kEuLow,
    kEuHigh,
    kRanged,
    kRangeLow,
    kRangeHigh,
    kUnits,
    // a device's transport and serial line (numbered after the rest, which keep theirs)
    kTransport,
    kPortName,
    kBaud,
    kDataBits,
    kParity,
    kStopBits,
    // a device being edited
    kResetDiagnostics,
    kImportCsv,
    kExportCsv,
};

}  // namespace modbus::dialog
