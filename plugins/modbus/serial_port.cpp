#include "serial_port.h"

namespace modbus {

bool SerialPort::Open(DWORD timeoutMs) {
    const unsigned number = ComPortNumber(line_.portName);
    if (number == 0) return false;
    const std::wstring path = L"\\\\.\\COM" + std::to_wstring(number);
    port_.Reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr));
    if (!port_) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port_.Get(), &dcb)) {
        Close();
        return false;
    }
    dcb.BaudRate = line_.baud;
    dcb.ByteSize = line_.dataBits;
    dcb.Parity = line_.parity == Parity::kEven  ? EVENPARITY
                 : line_.parity == Parity::kOdd ? ODDPARITY
                                                : NOPARITY;
    dcb.StopBits = line_.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = line_.parity != Parity::kNone;
    // Many RS-485 converters take their direction from RTS or need DTR up to be powered; no
    // handshake is ever expected of a Modbus slave.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(port_.Get(), &dcb) || !SetTimeouts(timeoutMs, timeoutMs)) {
        Close();
        return false;
    }
    Discard();
    return true;
}

bool SerialPort::SetTimeouts(DWORD readMs, DWORD writeMs) {
    // ReadFile returns once it has the bytes asked for, or after `readMs` with none, or when
    // the line falls silent for as long after the first. (The documented MAXDWORD form, "return
    // as soon as anything is there", waits out the whole constant under Wine.)
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = readMs ? readMs : 1;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = readMs ? readMs : 1;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = writeMs;
    return SetCommTimeouts(port_.Get(), &t) != 0;
}

bool SerialPort::Send(const Bytes& bytes, DWORD timeoutMs) {
    if (!port_ || !SetTimeouts(timeoutMs, timeoutMs)) return false;
    // The count written is not checked: Wine reports 0 for a pseudo-terminal that took it all,
    // and a request that did not go out whole gets no answer, which the master sees anyway.
    DWORD written = 0;
    return WriteFile(port_.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) != 0;
}

int SerialPort::Receive(uint8_t* buffer, size_t size, DWORD waitMs) {
    if (!port_ || !SetTimeouts(waitMs, waitMs)) return -1;
    DWORD read = 0;
    if (!ReadFile(port_.Get(), buffer, static_cast<DWORD>(size), &read, nullptr)) return -1;
    return static_cast<int>(read);
}

void SerialPort::Discard() {
    if (port_) PurgeComm(port_.Get(), PURGE_RXABORT | PURGE_RXCLEAR);
}

}  // namespace modbus
