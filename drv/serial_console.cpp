// Serial console: polled byte output to the 16550 UART at COM1, usable at any IRQL up to HIGH_LEVEL.
#include "hestolvane.h"

// Port bases by COM number; entry 0 means "no port".
const ULONG ComPortTable[5] = {0, 0x3F8, 0x2F8, 0x3E8, 0x2E8};

// 0 until start-up selects COM1: output before that is dropped.
DRIVER_GLOBAL ULONG64 SerialPortBase = 0;
DRIVER_GLOBAL BOOLEAN SerialTransmitterStalled = FALSE;

namespace {

constexpr USHORT TransmitHoldingRegister = 0;
constexpr USHORT LineStatusRegister = 5;
constexpr UCHAR TransmitHoldingRegisterEmpty = 0x20;

// How many line-status reads one byte may wait for the transmitter. A port read takes about 1 us, so this
// is roughly 10 ms, Linux's own bound for a console UART, and ten times what one byte takes at 9,600 baud.
// Without a bound, a UART that never reports ready (unplugged hardware emulation, a wedged FIFO) would hang
// the dying system forever inside the report.
constexpr ULONG TransmitReadyPollLimit = 10000;
// Once a byte has timed out, the UART is taken for dead until a byte goes through again: each later write
// waits only this long, so a report of thousands of lines gives up within a fraction of a second instead
// of costing the full bound per line.
constexpr ULONG StalledTransmitterPollLimit = 100;

BOOLEAN WaitForTransmitterReady() {
    const ULONG Limit = SerialTransmitterStalled ? StalledTransmitterPollLimit : TransmitReadyPollLimit;
    for (ULONG Poll = 0; Poll < Limit; Poll++) {
        if (__inbyte((USHORT)(SerialPortBase + LineStatusRegister)) & TransmitHoldingRegisterEmpty) {
            SerialTransmitterStalled = FALSE;
            return TRUE;
        }
    }
    SerialTransmitterStalled = TRUE;
    return FALSE;
}

}  // namespace

// Bytes leave exactly as given: no CR is added to a line feed. A byte whose wait times out is not written,
// and neither is the rest of this call's text, so a stuck UART costs at most one poll bound per call, and
// only the short one once it has been found stuck.
void SerialWrite(const void* Data, ULONG64 Length) {
    const UCHAR* Bytes = (const UCHAR*)Data;
    for (ULONG64 Index = 0; Index < Length; Index++) {
        if (SerialPortBase == 0) {
            return;
        }
        if (!WaitForTransmitterReady()) {
            return;
        }
        __outbyte((USHORT)(SerialPortBase + TransmitHoldingRegister), Bytes[Index]);
    }
}

ULONG64 TextLength(const char* Text) {
    ULONG64 Length = 0;
    while (Text[Length] != '\0') {
        Length++;
    }
    return Length;
}

void SerialWriteText(const char* Text) {
    SerialWrite(Text, TextLength(Text));
}
