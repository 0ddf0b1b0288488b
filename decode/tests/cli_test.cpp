// The command line: values that must be refused with one line saying why (a port beyond 65535, a
// symbol server that is no HTTP URL, a symbols directory that does not exist), values that must be
// taken (a long idle timeout, a scheme in capitals), and "--follow -" as standard input.
#include <gtest/gtest.h>

#include "symbol_test_support.h"

namespace hestolvane::decode {
namespace {

using namespace testing;

std::string Decoder() {
    return HESTOLVANE_DECODE;
}

struct Refused {
    std::string Arguments;
    std::string Error;
};

TEST(DecodeCommandLine, BadValuesAreOneLineErrors) {
    const std::vector<Refused> Cases = {
        {"--tcp 127.0.0.1:99999", "--tcp needs HOST:PORT with a port from 1 to 65535: 127.0.0.1:99999"},
        {"--tcp 127.0.0.1:0", "--tcp needs HOST:PORT with a port from 1 to 65535: 127.0.0.1:0"},
        {"--symbol-server ftp://symbols.example", "--symbol-server needs an http:// or https:// URL: ftp://symbols.example"},
        {"--symbol-server symbols.example", "--symbol-server needs an http:// or https:// URL: symbols.example"},
        {"--symbols /nonexistent/symbols", "--symbols /nonexistent/symbols: no such directory"},
        {"--idle-timeout 0", "--idle-timeout needs a number of seconds from 0.001 to 1000000000"},
        {"--frobnicate", "unknown option or missing value: --frobnicate"},
    };
    for (const Refused& Case : Cases) {
        SCOPED_TRACE(Case.Arguments);
        int Exit = -1;
        const std::string Said = CommandOutput(Decoder() + " " + Case.Arguments + " 2>&1 </dev/null", &Exit);
        EXPECT_EQ(Exit, 2);
        EXPECT_EQ(Said, "hestolvane-decode: " + Case.Error + "\nTry 'hestolvane-decode --help' for the options.\n");
    }
}

TEST(DecodeCommandLine, LongTimeoutsCapitalSchemesAndFollowingStandardInput) {
    const std::string Capture = BannerText() + ReportText({}, {{"", 0xFFFFF80412345678}});
    TemporaryDirectory Work;
    std::ofstream(Work / "capture.txt") << Capture;
    int Exit = -1;
    CommandOutput(Decoder() + " --idle-timeout 100000000 --symbol-server HTTP://127.0.0.1:9 " + Work / "capture.txt",
                  &Exit);
    EXPECT_EQ(Exit, 0);
    const std::string Listing = CommandOutput("cat " + Work / "capture.txt" + " | " + Decoder() + " --follow -", &Exit);
    EXPECT_EQ(Exit, 0);
    EXPECT_NE(Listing.find("Report 1 (line 3)"), std::string::npos) << Listing;
}

}  // namespace
}  // namespace hestolvane::decode
