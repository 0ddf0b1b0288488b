// Simulated kernel: port I/O (__inbyte/__outbyte) with a 16550 UART at each of the four standard COM bases.
// Every access is logged in order, so a test reads the driver's register traffic like a script.
#include <mutex>
#include <stdexcept>

#include "sim_driver.h"
#include "sim_internal.h"

namespace {

constexpr int ComPortCount = 4;
constexpr USHORT ComBases[ComPortCount] = {0x3F8, 0x2F8, 0x3E8, 0x2E8};
constexpr USHORT RegistersPerPort = 8;
constexpr USHORT TransmitHoldingRegister = 0;
constexpr USHORT LineStatusRegister = 5;

constexpr UCHAR TransmitterReady = 0x60;  // holding register empty, transmitter idle
constexpr UCHAR TransmitterBusy = 0x00;
constexpr UCHAR UndrivenBus = 0xFF;  // what a port read returns when nothing answers it

struct ComPort {
    std::string Transcript;
    unsigned BusyReadsLeft = 0;  // ReadyAfter: status reads still to answer busy for the last byte
};

struct UartState {
    std::mutex Lock;
    sim::LineStatusScript Script = sim::LineStatusScript::AlwaysReady;
    unsigned ReadsBeforeReady = 0;
    UCHAR FixedStatus = 0;
    ComPort Ports[ComPortCount];
    std::vector<sim::PortAccess> Accesses;
    size_t AccessCount = 0;
    bool Recording = true;
    void (*Com1Sink)(UCHAR Byte) = nullptr;
};

UartState& Uart() {
    static UartState State;
    return State;
}

// The COM port (0 for COM1) whose eight registers include Port, or -1.
int ComIndexOf(USHORT Port) {
    for (int Index = 0; Index < ComPortCount; Index++) {
        if (Port >= ComBases[Index] && Port < ComBases[Index] + RegistersPerPort) {
            return Index;
        }
    }
    return -1;
}

void Record(UartState& State, USHORT Port, bool Write, UCHAR Value) {
    State.AccessCount++;
    if (State.Recording) {
        State.Accesses.push_back({Port, Write, Value});
    }
}

UCHAR LineStatus(UartState& State, ComPort& Com) {
    switch (State.Script) {
    case sim::LineStatusScript::AlwaysReady:
        return TransmitterReady;
    case sim::LineStatusScript::NeverReady:
        return TransmitterBusy;
    case sim::LineStatusScript::ReadyAfter:
        if (Com.BusyReadsLeft > 0) {
            Com.BusyReadsLeft--;
            return TransmitterBusy;
        }
        return TransmitterReady;
    case sim::LineStatusScript::Fixed:
        return State.FixedStatus;
    case sim::LineStatusScript::Floating:
        break;
    }
    return UndrivenBus;
}

// With the Floating script no UART sits behind the port at all, so every register floats, not only
// the line status.
UCHAR ReadRegister(UartState& State, int ComIndex, USHORT Register) {
    if (State.Script == sim::LineStatusScript::Floating) {
        return UndrivenBus;
    }
    if (Register == LineStatusRegister) {
        return LineStatus(State, State.Ports[ComIndex]);
    }
    return 0;
}

// True when the byte reached a transmitter: a write to a floating bus goes nowhere.
bool WriteRegister(UartState& State, int ComIndex, USHORT Register, UCHAR Value) {
    if (Register != TransmitHoldingRegister || State.Script == sim::LineStatusScript::Floating) {
        return false;
    }
    ComPort& Com = State.Ports[ComIndex];
    Com.Transcript.push_back((char)Value);
    Com.BusyReadsLeft = State.ReadsBeforeReady;
    return true;
}

}  // namespace

extern "C" UCHAR __inbyte(USHORT Port) {
    UartState& State = Uart();
    std::lock_guard<std::mutex> Guard(State.Lock);
    const int ComIndex = ComIndexOf(Port);
    const UCHAR Value = ComIndex < 0 ? UndrivenBus : ReadRegister(State, ComIndex, Port - ComBases[ComIndex]);
    Record(State, Port, false, Value);
    return Value;
}

// The COM1 sink and the kernel call log run outside the lock, so that either may itself do port I/O or
// block on its output.
extern "C" void __outbyte(USHORT Port, UCHAR Data) {
    UartState& State = Uart();
    void (*Sink)(UCHAR Byte) = nullptr;
    bool ReachedCom1 = false;
    {
        std::lock_guard<std::mutex> Guard(State.Lock);
        Record(State, Port, true, Data);
        const int ComIndex = ComIndexOf(Port);
        if (ComIndex >= 0 && WriteRegister(State, ComIndex, Port - ComBases[ComIndex], Data) && ComIndex == 0) {
            Sink = State.Com1Sink;
            ReachedCom1 = true;
        }
    }
    if (ReachedCom1) {
        sim::LogKernelCall("COM1");
    }
    if (Sink != nullptr) {
        Sink(Data);
    }
}

namespace sim {

// A new script starts with every transmitter idle.
void SetLineStatus(LineStatusScript Script, unsigned ReadsBeforeReady) {
    UartState& State = Uart();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Script = Script;
    State.ReadsBeforeReady = ReadsBeforeReady;
    for (ComPort& Com : State.Ports) {
        Com.BusyReadsLeft = 0;
    }
}

void SetFixedLineStatus(UCHAR Value) {
    SetLineStatus(LineStatusScript::Fixed);
    UartState& State = Uart();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.FixedStatus = Value;
}

const std::vector<PortAccess>& PortAccesses() {
    return Uart().Accesses;
}

void RecordPortAccesses(bool Record) {
    UartState& State = Uart();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Recording = Record;
}

size_t PortAccessCount() {
    UartState& State = Uart();
    std::lock_guard<std::mutex> Guard(State.Lock);
    return State.AccessCount;
}

std::string ComTranscript(int ComPort) {
    if (ComPort < 1 || ComPort > ComPortCount) {
        throw std::invalid_argument("ComTranscript: COM" + std::to_string(ComPort) + " does not exist");
    }
    UartState& State = Uart();
    std::lock_guard<std::mutex> Guard(State.Lock);
    return State.Ports[ComPort - 1].Transcript;
}

// Line-status progress stays as it is: only the record of what happened goes.
void ClearUartLog() {
    UartState& State = Uart();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Accesses.clear();
    for (ComPort& Com : State.Ports) {
        Com.Transcript.clear();
    }
}

void SetCom1Sink(void (*Sink)(UCHAR Byte)) {
    UartState& State = Uart();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Com1Sink = Sink;
}

void ResetUart() {
    UartState& State = Uart();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Script = LineStatusScript::AlwaysReady;
    State.ReadsBeforeReady = 0;
    for (ComPort& Com : State.Ports) {
        Com = ComPort();
    }
    State.Accesses.clear();
    State.AccessCount = 0;
    State.Recording = true;
    State.Com1Sink = nullptr;
}

}  // namespace sim
