// libFuzzer target: the capture reader fed arbitrary bytes, cut into chunks at places the input chooses,
// with every boot and report it emits written out as JSON. It must never crash, never leave the JSON
// writer text it cannot encode, and never take long: -timeout in the bounded run catches slow inputs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "capture_reader.h"
#include "output.h"

namespace {

using namespace hestolvane::decode;

class JsonSink : public CaptureSink {
public:
    void OnBoot(const Boot& Decoded) override { Written += BootJson(Decoded).size(); }
    void OnReport(const Report& Decoded) override { Written += ReportJson(Decoded).size(); }
    size_t Written = 0;
};

}  // namespace

// The first byte picks the chunk size, so that line ends, markers and CR LF pairs fall on chunk edges.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0) {
        return 0;
    }
    const size_t Chunk = 1 + Data[0] % 64;
    std::string_view Bytes(reinterpret_cast<const char*>(Data + 1), Size - 1);
    JsonSink Sink;
    CaptureReader Reader(Sink);
    const bool Whole = (Data[0] & 0x80) != 0;
    while (!Bytes.empty()) {
        const size_t Length = Whole ? Bytes.size() : std::min(Chunk, Bytes.size());
        Reader.Feed(Bytes.substr(0, Length));
        Bytes.remove_prefix(Length);
    }
    if (Data[0] & 0x40) {
        Reader.Cut(Truncation::IdleTimeout);
    }
    Reader.Finish();
    return 0;
}
