// Shared by the symbol, signature and index tests: temporary directories, hand-made captures, the link
// map and llvm-symbolizer as the independent reference, and a loopback HTTP server over a directory.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "decode_test_support.h"

namespace hestolvane::decode::testing {

namespace fs = std::filesystem;

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char Template[] = "/tmp/hestolvane-symbols-XXXXXX";
        Path = mkdtemp(Template) != nullptr ? Template : "";
    }
    ~TemporaryDirectory() {
        std::error_code Ignored;
        fs::remove_all(Path, Ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    std::string operator/(const std::string& Name) const { return Path + "/" + Name; }
    std::string Path;
};

inline void CopyInto(const std::string& From, const std::string& To) {
    fs::create_directories(fs::path(To).parent_path());
    fs::copy_file(From, To, fs::copy_options::overwrite_existing);
}

inline std::string ReadText(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    std::ostringstream Text;
    Text << In.rdbuf();
    return Text.str();
}

inline std::string Hex16(uint64_t Value) {
    char Text[24];
    std::snprintf(Text, sizeof(Text), "%016llX", static_cast<unsigned long long>(Value));
    return Text;
}

// A module row as the driver prints it.
struct RowSpec {
    uint64_t Start;
    uint64_t End;
    std::string Name;
    std::string PdbPath;
    std::string Guid;
};

// A frame: module + offset when Module is given, a raw address otherwise.
struct FrameSpec {
    std::string Module;
    uint64_t Value;
};

// One whole report in the driver's format; CrashMillisecond tells reports apart.
inline std::string ReportText(const std::vector<RowSpec>& Rows, const std::vector<FrameSpec>& Frames,
                              int CrashMillisecond = 917, const std::string& Code = "50") {
    std::string Text = "VQN Dump Begin.\nCRASHED ON: 2026-12-08 06:04:05:" + std::to_string(CrashMillisecond) +
                       "\nDump:\nstart    end    module    pdb    path    guid\n";
    for (const RowSpec& Row : Rows) {
        Text += Hex16(Row.Start) + " " + Hex16(Row.End) + "  " + Row.Name + "  " + Row.PdbPath +
                "  \\SystemRoot\\System32\\drivers\\" + Row.Name + "  " + Row.Guid + "\n";
    }
    Text += "VQN: BUGCHECK CODE " + Code + ": FFFFF80000001000 0000000000000000 FFFFF80012345678 0000000000000002\n";
    Text += "CONTEXT (FFFFF80011112222):\n";
    for (const RegisterLayout& Register : ContextRegisters) {
        // The driver prints RSI without the blank before its equals sign.
        Text += "         " + std::string(Register.Name) + (Register.Name == "RSI" ? "= " : " = ") +
                std::string(static_cast<size_t>(Register.Digits), '0') + "\n";
    }
    uint64_t StackPointer = 0xFFFFD00000001F10;
    for (const FrameSpec& Walked : Frames) {
        Text += Hex16(StackPointer) +
                "  (0000000000000001  0000000000000002  0000000000000003  0000000000000004) ";
        Text += Walked.Module.empty() ? Hex16(Walked.Value) : Walked.Module + " + " + Hex16(Walked.Value);
        Text += "\n";
        StackPointer += 0x50;
    }
    return Text + "ControlPc\nVQN Dump End.\n";
}

inline std::string BannerText() {
    return "HesTolvaneDrv ver: 3, Load: 2026-12-08 06:03:03:5\nnormal boot.\n";
}

// From an lld-link map: the preferred base and each public symbol's RVA.
struct LinkMap {
    uint64_t Base = 0;
    std::map<std::string, uint64_t> Rvas;
};

inline std::optional<LinkMap> ReadLinkMap(const std::string& Path) {
    std::ifstream In(Path);
    if (!In) {
        return std::nullopt;
    }
    LinkMap Map;
    std::string Line;
    while (std::getline(In, Line)) {
        const std::string BaseLabel = "Preferred load address is ";
        if (auto At = Line.find(BaseLabel); At != std::string::npos) {
            Map.Base = std::stoull(Line.substr(At + BaseLabel.size()), nullptr, 16);
            continue;
        }
        std::istringstream Fields(Line);
        std::string Place;
        std::string Name;
        std::string Address;
        if (Fields >> Place >> Name >> Address && Place.size() == 13 && Place[4] == ':' && Address.size() == 16) {
            Map.Rvas[Name] = std::stoull(Address, nullptr, 16) - Map.Base;
        }
    }
    return Map;
}

// What llvm-symbolizer says of an address in an image (the outermost function and its line).
struct Reference {
    std::string Function;
    std::string File;
    unsigned Line = 0;
};

inline std::optional<Reference> SymbolizerReference(const std::string& Image, uint64_t Address) {
    const std::string Tool = HESTOLVANE_LLVM_SYMBOLIZER;
    if (Tool.empty()) {
        return std::nullopt;
    }
    std::istringstream Output(CommandOutput(Tool + " --no-inlines --obj=" + Image + " 0x" + Hex16(Address)));
    Reference Found;
    std::string Place;
    if (!std::getline(Output, Found.Function) || !std::getline(Output, Place)) {
        return std::nullopt;
    }
    const size_t Column = Place.rfind(':');
    const size_t LineAt = Place.rfind(':', Column - 1);
    Found.File = Place.substr(0, LineAt);
    Found.Line = static_cast<unsigned>(std::stoul(Place.substr(LineAt + 1, Column - LineAt - 1)));
    return Found;
}

// The GUID llvm-pdbutil reads in a PDB, as the driver prints it.
inline std::string PdbGuid(const std::string& Pdb) {
    const std::string Tool = HESTOLVANE_LLVM_PDBUTIL;
    const std::string Summary = Tool.empty() ? "" : CommandOutput(Tool + " dump -summary " + Pdb);
    const size_t At = Summary.find("GUID: {");
    return At == std::string::npos ? "" : Summary.substr(At + 7, 36);
}

// An HTTP/1.1 server on 127.0.0.1 serving a directory: GET of an existing file answers 200 with it,
// /moved/PATH redirects to /PATH, anything else is 404. Silent, it accepts and never answers. Every
// wait is bounded, and the destructor stops it.
class LoopbackServer {
public:
    LoopbackServer(std::string RootIn, bool SilentIn) : Root(std::move(RootIn)), Silent(SilentIn) {
        Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof(Address);
        if (bind(Listener, reinterpret_cast<sockaddr*>(&Address), Length) != 0 || listen(Listener, 16) != 0 ||
            getsockname(Listener, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
            return;
        }
        Port = ntohs(Address.sin_port);
        Serving = std::thread([this] { Serve(); });
    }
    ~LoopbackServer() {
        Stop = true;
        if (Serving.joinable()) {
            Serving.join();
        }
        close(Listener);
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(Port); }
    unsigned Accepted() const { return Connections; }
    std::vector<std::string> Requests() const {
        std::lock_guard<std::mutex> Guard(Lock);
        return Paths;
    }

private:
    void Serve() {
        std::vector<int> Held;
        while (!Stop) {
            pollfd Ready{Listener, POLLIN, 0};
            if (poll(&Ready, 1, 50) <= 0) {
                continue;
            }
            const int Client = accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (Client < 0) {
                continue;
            }
            Connections++;
            if (Silent) {
                Held.push_back(Client);
                continue;
            }
            Answer(Client);
            close(Client);
        }
        for (int Client : Held) {
            close(Client);
        }
    }

    // One request per connection ("Connection: close"), read until its blank line or for 5 s at most.
    void Answer(int Client) {
        std::string Request;
        char Buffer[4096];
        for (int Rounds = 0; Request.find("\r\n\r\n") == std::string::npos && Rounds < 100; Rounds++) {
            pollfd Ready{Client, POLLIN, 0};
            if (poll(&Ready, 1, 50) <= 0) {
                continue;
            }
            const ssize_t Count = read(Client, Buffer, sizeof(Buffer));
            if (Count <= 0) {
                return;
            }
            Request.append(Buffer, static_cast<size_t>(Count));
        }
        const size_t PathStart = Request.find(' ') + 1;
        const std::string Path = Request.substr(PathStart, Request.find(' ', PathStart) - PathStart);
        {
            std::lock_guard<std::mutex> Guard(Lock);
            Paths.push_back(Path);
        }
        std::string Response;
        if (Path.rfind("/moved/", 0) == 0) {
            Response = "HTTP/1.1 302 Found\r\nLocation: " + Path.substr(6) +
                       "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        } else if (fs::is_regular_file(Root + Path)) {
            const std::string Body = ReadText(Root + Path);
            Response = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(Body.size()) +
                       "\r\nConnection: close\r\n\r\n" + Body;
        } else {
            Response = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        }
        for (size_t Sent = 0; Sent < Response.size();) {
            const ssize_t Count = write(Client, Response.data() + Sent, Response.size() - Sent);
            if (Count <= 0) {
                return;
            }
            Sent += static_cast<size_t>(Count);
        }
    }

    std::string Root;
    bool Silent;
    int Listener = -1;
    uint16_t Port = 0;
    std::atomic<bool> Stop{false};
    std::atomic<unsigned> Connections{0};
    std::thread Serving;
    mutable std::mutex Lock;
    std::vector<std::string> Paths;
};

}  // namespace hestolvane::decode::testing
