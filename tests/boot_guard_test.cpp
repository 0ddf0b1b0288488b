// The boot-state guard: what each state of the service key makes a start-up announce, whether module
// collection runs, and exactly which registry calls the start makes, down to every flush.
#include <optional>
#include <ostream>

#include "driver_scene.h"

namespace {

const std::string OpenForRead =
    "Open \\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HesTolvaneDrv access 0x2001F attributes 0x240";
const std::string OpenForWrite =
    "Open \\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HesTolvaneDrv access 0xF003F attributes 0x240";

std::vector<std::string> Joined(std::initializer_list<std::vector<std::string>> Parts) {
    std::vector<std::string> All;
    for (const std::vector<std::string>& Part : Parts) {
        All.insert(All.end(), Part.begin(), Part.end());
    }
    return All;
}

// The registry calls of each step of a start-up, as the kernel journals them.
const std::vector<std::string> LoadedMissing = {OpenForRead, "Query Loaded -> 0xC0000034", "Close"};
const std::vector<std::string> LoadedRead = {OpenForRead, "Query Loaded", "Close"};
// The version is read through the general value routine, which holds its own handle meanwhile.
const std::vector<std::string> VersionMissing = {OpenForWrite, OpenForRead, "Query Version -> 0xC0000034", "Close",
                                                 "Close"};
const std::vector<std::string> VersionRead = {OpenForWrite, OpenForRead, "Query Version", "Close", "Close"};
// Marker and version set and flushed before the walk, the marker deleted and flushed after it.
const std::vector<std::string> MarkerSetAndRemoved = {OpenForWrite, "Set Loaded=1", "Flush", "Close",
                                                      OpenForWrite, "Set Version=3", "Flush", "Close",
                                                      OpenForWrite, "Delete Loaded", "Flush", "Close"};

sim::RegistryValue Dword(ULONG Value) {
    return sim::RegistryValue{REG_DWORD,
                              {(UCHAR)Value, (UCHAR)(Value >> 8), (UCHAR)(Value >> 16), (UCHAR)(Value >> 24)}};
}

sim::RegistryValue Text(const std::u16string& Value) {
    return sim::RegistryValue{REG_SZ, scene::Utf16Bytes(Value)};
}

// A REG_DWORD that holds only two bytes: a damaged value, or one written by hand with the wrong size.
sim::RegistryValue ShortDword(UCHAR Low, UCHAR High) {
    return sim::RegistryValue{REG_DWORD, {Low, High}};
}

void Put(const std::u16string& Name, const sim::RegistryValue& Value) {
    sim::SetRegistryValue(scene::Key(), Name, Value.Type, Value.Data);
}

struct GuardRow {
    const char* Name;
    std::optional<sim::RegistryValue> LoadedBefore;
    std::optional<sim::RegistryValue> VersionBefore;
    const char* StateLine;
    ULONG State;
    bool Tracking;
    std::vector<std::string> Journal;
    std::optional<sim::RegistryValue> LoadedAfter;
    std::optional<sim::RegistryValue> VersionAfter;
};

// Failures name the row rather than dump its bytes.
void PrintTo(const GuardRow& Row, std::ostream* Out) {
    *Out << Row.Name;
}

void ExpectValue(const std::u16string& Name, const std::optional<sim::RegistryValue>& Expected) {
    const std::optional<sim::RegistryValue> Actual = sim::GetRegistryValue(scene::Key(), Name);
    ASSERT_EQ(Expected.has_value(), Actual.has_value());
    if (Expected) {
        EXPECT_EQ(Expected->Type, Actual->Type);
        EXPECT_EQ(Expected->Data, Actual->Data);
    }
}

class GuardDecision : public KernelTest, public ::testing::WithParamInterface<GuardRow> {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        scene::InstallService();
        scene::SetClock();
    }
};

TEST_P(GuardDecision, StartAnnouncesTheStateAndLeavesTheRegistryFlushed) {
    const GuardRow& Row = GetParam();
    if (Row.LoadedBefore) {
        Put(u"Loaded", *Row.LoadedBefore);
    }
    if (Row.VersionBefore) {
        Put(u"Version", *Row.VersionBefore);
    }

    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());

    EXPECT_EQ(std::string("HesTolvaneDrv ver: 3, Load: 2026-12-08 04:30:15:7\n") + Row.StateLine,
              sim::ComTranscript(1));
    EXPECT_EQ(Row.State, BootState);
    EXPECT_EQ(Row.Tracking, ModuleTrackingEnabled != FALSE);
    EXPECT_EQ(Row.Tracking ? 1u : 0u, sim::RegisteredImageNotifyRoutines());
    EXPECT_EQ(Row.Journal, sim::RegistryJournal());
    EXPECT_EQ(0u, sim::OpenRegistryHandles());
    sim::UnloadDriver();

    // Everything the start wrote was flushed, so the power going now loses none of it.
    sim::LoseUnflushedRegistryWrites();
    ExpectValue(u"Loaded", Row.LoadedAfter);
    ExpectValue(u"Version", Row.VersionAfter);
}

const char* const Normal = "normal boot.\n";
const char* const LastBsod = "last bsod.\n";
const char* const NewVersion = "last bsod, but new version.\n";

INSTANTIATE_TEST_SUITE_P(
    EveryRow, GuardDecision,
    ::testing::Values(
        // No marker: an ordinary boot. Marker and version are written before the walk, the marker is
        // deleted after it, and only the version stays.
        GuardRow{"LoadedAbsent", std::nullopt, std::nullopt, Normal, BootNormal, true,
                 Joined({LoadedMissing, MarkerSetAndRemoved}), std::nullopt, Dword(3)},
        GuardRow{"LoadedAString", Text(u"1"), std::nullopt, Normal, BootNormal, true,
                 Joined({LoadedRead, MarkerSetAndRemoved}), std::nullopt, Dword(3)},
        GuardRow{"LoadedZero", Dword(0), Dword(3), Normal, BootNormal, true,
                 Joined({LoadedRead, MarkerSetAndRemoved}), std::nullopt, Dword(3)},
        GuardRow{"LoadedTwo", Dword(2), Dword(3), Normal, BootNormal, true,
                 Joined({LoadedRead, MarkerSetAndRemoved}), std::nullopt, Dword(3)},
        GuardRow{"LoadedAShortDword", ShortDword(1, 0), Dword(3), Normal, BootNormal, true,
                 Joined({LoadedRead, MarkerSetAndRemoved}), std::nullopt, Dword(3)},
        // The marker of this version, or of one it cannot place: its walk crashed the last boot. Nothing
        // is written, so the marker stays for the boots after this one.
        GuardRow{"LoadedOneVersionAbsent", Dword(1), std::nullopt, LastBsod, BootLastBsod, false,
                 Joined({LoadedRead, VersionMissing}), Dword(1), std::nullopt},
        GuardRow{"LoadedOneVersionZero", Dword(1), Dword(0), LastBsod, BootLastBsod, false,
                 Joined({LoadedRead, VersionRead}), Dword(1), Dword(0)},
        GuardRow{"LoadedOneVersionThree", Dword(1), Dword(3), LastBsod, BootLastBsod, false,
                 Joined({LoadedRead, VersionRead}), Dword(1), Dword(3)},
        GuardRow{"LoadedOneVersionSeven", Dword(1), Dword(7), LastBsod, BootLastBsod, false,
                 Joined({LoadedRead, VersionRead}), Dword(1), Dword(7)},
        GuardRow{"LoadedOneVersionAString", Dword(1), Text(u"2"), LastBsod, BootLastBsod, false,
                 Joined({LoadedRead, VersionRead}), Dword(1), Text(u"2")},
        GuardRow{"LoadedOneVersionAShortDword", Dword(1), ShortDword(2, 0), LastBsod, BootLastBsod, false,
                 Joined({LoadedRead, VersionRead}), Dword(1), ShortDword(2, 0)},
        // The marker of an older version, whose walk was another: this one tries again under its own
        // marker, and the version becomes this one's.
        GuardRow{"LoadedOneVersionOne", Dword(1), Dword(1), NewVersion, BootLastBsodNewVersion, true,
                 Joined({LoadedRead, VersionRead, MarkerSetAndRemoved}), std::nullopt, Dword(3)},
        GuardRow{"LoadedOneVersionTwo", Dword(1), Dword(2), NewVersion, BootLastBsodNewVersion, true,
                 Joined({LoadedRead, VersionRead, MarkerSetAndRemoved}), std::nullopt, Dword(3)}),
    [](const ::testing::TestParamInfo<GuardRow>& Info) { return std::string(Info.param.Name); });

class GuardWithoutItsKey : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        scene::InstallService();
        scene::SetClock();
    }
};

// Not installed as a service: the key is looked for each time, never created, and the boot is a normal
// one with module collection on.
TEST_F(GuardWithoutItsKey, MissingKeyIsANormalBootThatWritesNothing) {
    sim::ResetRegistry();

    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());

    EXPECT_EQ(scene::NormalBootBanner, sim::ComTranscript(1));
    EXPECT_TRUE(ModuleTrackingEnabled);
    EXPECT_EQ((std::vector<std::string>{OpenForRead + " -> 0xC0000034", OpenForWrite + " -> 0xC0000034",
                                        OpenForWrite + " -> 0xC0000034", OpenForWrite + " -> 0xC0000034"}),
              sim::RegistryJournal());
    sim::UnloadDriver();
    EXPECT_FALSE(sim::GetRegistryValue(scene::Key(), u"Loaded"));
    EXPECT_FALSE(sim::GetRegistryValue(scene::Key(), u"Version"));
}

TEST_F(GuardWithoutItsKey, KeyThatCannotBeOpenedIsANormalBootThatWritesNothing) {
    const NTSTATUS AccessDenied = (NTSTATUS)0xC0000022;
    sim::SetRegistryDword(scene::Key(), u"Loaded", 1);
    sim::FailRegistry(sim::RegistryFault::Open, AccessDenied, true);

    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());

    EXPECT_EQ(scene::NormalBootBanner, sim::ComTranscript(1));
    EXPECT_TRUE(ModuleTrackingEnabled);
    EXPECT_EQ((std::vector<std::string>{OpenForRead + " -> 0xC0000022", OpenForWrite + " -> 0xC0000022",
                                        OpenForWrite + " -> 0xC0000022", OpenForWrite + " -> 0xC0000022"}),
              sim::RegistryJournal());
    sim::UnloadDriver();
    EXPECT_EQ(1u, sim::GetRegistryDword(scene::Key(), u"Loaded"));
}

// ---------------------------------------------------------------------------------------------------------
// The guard's routines one by one.

const WCHAR LoadedName[] = u"Loaded";

class GuardRoutines : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        scene::InstallService();
    }
};

TEST_F(GuardRoutines, ReadRegDwordGivesTheDword) {
    sim::SetRegistryDword(scene::Key(), u"Loaded", 0x12345678);
    ULONG Value = 0;
    EXPECT_TRUE(ReadRegDword(LoadedName, &Value));
    EXPECT_EQ(0x12345678u, Value);
}

// Two bytes of data would leave the other two as the pool left them, so the value reads as unreadable
// and the caller's variable keeps what it had.
TEST_F(GuardRoutines, ReadRegDwordRefusesADwordShorterThanFourBytes) {
    Put(u"Loaded", ShortDword(1, 0));
    ULONG Value = 0xA5A5A5A5;
    EXPECT_FALSE(ReadRegDword(LoadedName, &Value));
    EXPECT_EQ(0xA5A5A5A5u, Value);
}

TEST_F(GuardRoutines, ReadRegDwordTakesTheFirstFourBytesOfALongerDword) {
    Put(u"Loaded", sim::RegistryValue{REG_DWORD, {0x01, 0x00, 0x00, 0x00, 0x77, 0x77, 0x77, 0x77}});
    ULONG Value = 0;
    EXPECT_TRUE(ReadRegDword(LoadedName, &Value));
    EXPECT_EQ(1u, Value);
}

TEST_F(GuardRoutines, ReadRegDwordRefusesOtherTypes) {
    Put(u"Loaded", sim::RegistryValue{REG_BINARY, {0x01, 0x00, 0x00, 0x00}});
    ULONG Value = 0;
    EXPECT_FALSE(ReadRegDword(LoadedName, &Value));
    EXPECT_EQ(0u, Value);
}

// Twenty bytes hold the twelve-byte header and eight bytes of data; more does not fit.
TEST_F(GuardRoutines, ReadRegDwordFailsOnDataTooLongForItsBuffer) {
    Put(u"Loaded", sim::RegistryValue{REG_DWORD, std::vector<UCHAR>(9, 0x01)});
    ULONG Value = 0;
    EXPECT_FALSE(ReadRegDword(LoadedName, &Value));
    EXPECT_EQ((std::vector<std::string>{OpenForRead, "Query Loaded -> 0x80000005", "Close"}),
              sim::RegistryJournal());
}

TEST_F(GuardRoutines, ReadRegDwordWithoutAnOutputReadsNothing) {
    sim::SetRegistryDword(scene::Key(), u"Loaded", 1);
    EXPECT_FALSE(ReadRegDword(LoadedName, NULL));
}

// The query's buffer: 20 bytes of non-paged pool under the driver's tag, given back before the key is
// closed.
TEST_F(GuardRoutines, ReadRegDwordQueriesIntoTwentyBytesOfTaggedNonPagedPool) {
    sim::SetRegistryDword(scene::Key(), u"Loaded", 1);
    std::vector<sim::PoolBlock> DuringQuery;
    sim::OnKernelCall([&DuringQuery](const std::string& Call) {
        if (Call == "ZwQueryValueKey") {
            DuringQuery = sim::OutstandingPool();
        }
    });
    ULONG Value = 0;
    EXPECT_TRUE(ReadRegDword(LoadedName, &Value));
    ASSERT_EQ(1u, DuringQuery.size());
    EXPECT_EQ(HesTolvanePoolTag, DuringQuery[0].Tag);
    EXPECT_EQ(NonPagedPool, DuringQuery[0].Type);
    EXPECT_EQ(20u, DuringQuery[0].Size);
    EXPECT_TRUE(sim::OutstandingPool().empty());
}

TEST_F(GuardRoutines, ReadRegDwordClosesTheKeyWhenThePoolIsEmpty) {
    sim::SetRegistryDword(scene::Key(), u"Loaded", 1);
    sim::FailAllocation(1);
    ULONG Value = 0;
    EXPECT_FALSE(ReadRegDword(LoadedName, &Value));
    EXPECT_EQ((std::vector<std::string>{OpenForRead, "Close"}), sim::RegistryJournal());
}

TEST_F(GuardRoutines, ReadRegDwordGivesTheBufferBackWhenTheQueryFails) {
    sim::SetRegistryDword(scene::Key(), u"Loaded", 1);
    sim::FailRegistry(sim::RegistryFault::Query);
    ULONG Value = 0;
    EXPECT_FALSE(ReadRegDword(LoadedName, &Value));
    EXPECT_EQ((std::vector<std::string>{OpenForRead, "Query Loaded -> 0xC000009A", "Close"}),
              sim::RegistryJournal());
    EXPECT_TRUE(sim::OutstandingPool().empty());
}

// A set that failed wrote nothing, so there is nothing to flush.
TEST_F(GuardRoutines, FailedSetIsNotFlushed) {
    sim::FailRegistry(sim::RegistryFault::Set);
    RegValueOp(LoadedName, RegOpSet, 1, NULL);
    EXPECT_EQ((std::vector<std::string>{OpenForWrite, "Set Loaded=1 -> 0xC000009A", "Close"}),
              sim::RegistryJournal());
}

TEST_F(GuardRoutines, FailedFlushIsIgnored) {
    sim::FailRegistry(sim::RegistryFault::Flush);
    RegValueOp(LoadedName, RegOpSet, 1, NULL);
    EXPECT_EQ((std::vector<std::string>{OpenForWrite, "Set Loaded=1", "Flush -> 0xC000009A", "Close"}),
              sim::RegistryJournal());
    EXPECT_EQ(1u, sim::GetRegistryDword(scene::Key(), u"Loaded"));
    // Unflushed, the write is lost with the power.
    sim::LoseUnflushedRegistryWrites();
    EXPECT_FALSE(sim::GetRegistryValue(scene::Key(), u"Loaded"));
}

TEST_F(GuardRoutines, DeletingAMissingValueIsNotFlushed) {
    RemoveLoadedMarker();
    EXPECT_EQ((std::vector<std::string>{OpenForWrite, "Delete Loaded -> 0xC0000034", "Close"}),
              sim::RegistryJournal());
}

TEST_F(GuardRoutines, UnknownOperationOnlyOpensAndClosesTheKey) {
    sim::SetRegistryDword(scene::Key(), u"Loaded", 1);
    ULONG Value = 7;
    RegValueOp(LoadedName, 0, 5, &Value);
    EXPECT_EQ((std::vector<std::string>{OpenForWrite, "Close"}), sim::RegistryJournal());
    EXPECT_EQ(7u, Value);
    EXPECT_EQ(1u, sim::GetRegistryDword(scene::Key(), u"Loaded"));
}

// Deciding writes nothing in the last-bsod state: the marker must outlive this boot.
TEST_F(GuardRoutines, LastBsodSwitchesCollectionOffWithoutWriting) {
    sim::SetRegistryDword(scene::Key(), u"Loaded", 1);
    sim::SetRegistryDword(scene::Key(), u"Version", 3);
    DecideBootState();
    EXPECT_EQ((ULONG)BootLastBsod, BootState);
    EXPECT_FALSE(ModuleTrackingEnabled);
    EXPECT_EQ(Joined({LoadedRead, VersionRead}), sim::RegistryJournal());
}

}  // namespace
