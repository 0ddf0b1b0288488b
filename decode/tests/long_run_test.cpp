// A reader that runs for months: what it keeps must not grow with the boots it has seen. Heap use is read
// with mallinfo2 after 2,000 boots and again after 20,000 more, through the listing and the crash index.
#include <gtest/gtest.h>
#include <malloc.h>

#include <sstream>

#include "crash_index.h"
#include "output.h"
#include "symbol_test_support.h"

namespace hestolvane::decode {
namespace {

using namespace testing;

size_t HeapInUse() {
    return mallinfo2().uordblks;
}

TEST(DecodeLongRun, MemoryDoesNotGrowWithBoots) {
    TemporaryDirectory Work;
    CrashIndex::Opened Opened = CrashIndex::Open(Work / "index.db");
    ASSERT_TRUE(Opened.Index) << Opened.Error;
    std::ostringstream Discarded;
    ListingWriter Listing(Discarded);
    IndexingSink Indexing(*Opened.Index, "long-run", SignedWith{}, Listing);
    CaptureReader Reader(Indexing);
    auto Boots = [&](int Count) {
        for (int Boot = 0; Boot < Count; Boot++) {
            Reader.Feed("HesTolvaneDrv ver: 3, Load: 2026-12-08 06:03:03:" + std::to_string(Boot % 1000) +
                        "\nnormal boot.\n");
            Discarded.str("");
        }
    };
    Boots(2000);
    const size_t Before = HeapInUse();
    if (Before == 0) {
        GTEST_SKIP() << "the heap is not glibc's here (a sanitizer keeps its own): mallinfo2 cannot see it";
    }
    Boots(20000);
    const size_t After = HeapInUse();
    // Before, each boot kept about 140 bytes in each sink: 20,000 boots would be several megabytes.
    EXPECT_LT(After, Before + 64 * 1024) << "grew by " << (After - Before) << " bytes";
}

}  // namespace
}  // namespace hestolvane::decode
