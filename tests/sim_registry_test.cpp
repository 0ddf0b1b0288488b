// The simulated registry: opening keys without creating them, partial-information queries into buffers
// of every size, checked handles, and the line between the live registry and the disk.
#include <cstring>

#include "kernel_test.h"
#include "sim_driver.h"

namespace {

const std::u16string KeyPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Probe";
constexpr ACCESS_MASK QueryOnly = 0x0001;
constexpr ACCESS_MASK SetOnly = 0x0002;
constexpr NTSTATUS AccessDenied = (NTSTATUS)0xC0000022;
constexpr ULONG Header = __builtin_offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

class Registry : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        sim::ResetRegistry();
        sim::CreateRegistryKey(KeyPath);
    }

    NTSTATUS Open(const char16_t* Path, ACCESS_MASK Access, HANDLE* Key, HANDLE Root = NULL) {
        UNICODE_STRING Name;
        RtlInitUnicodeString(&Name, Path);
        OBJECT_ATTRIBUTES Attributes;
        InitializeObjectAttributes(&Attributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Root, NULL);
        return ZwOpenKey(Key, Access, &Attributes);
    }

    HANDLE OpenProbe(ACCESS_MASK Access = KEY_ALL_ACCESS) {
        HANDLE Key = NULL;
        EXPECT_EQ(STATUS_SUCCESS, Open(KeyPath.c_str(), Access, &Key));
        return Key;
    }

    NTSTATUS Query(HANDLE Key, const char16_t* Value, UCHAR* Buffer, ULONG Length, ULONG* ResultLength) {
        UNICODE_STRING Name;
        RtlInitUnicodeString(&Name, Value);
        return ZwQueryValueKey(Key, &Name, KeyValuePartialInformation, Buffer, Length, ResultLength);
    }

    NTSTATUS SetDword(HANDLE Key, const char16_t* Value, ULONG Data) {
        UNICODE_STRING Name;
        RtlInitUnicodeString(&Name, Value);
        return ZwSetValueKey(Key, &Name, 0, REG_DWORD, &Data, sizeof Data);
    }

    NTSTATUS Delete(HANDLE Key, const char16_t* Value) {
        UNICODE_STRING Name;
        RtlInitUnicodeString(&Name, Value);
        return ZwDeleteValueKey(Key, &Name);
    }
};

ULONG FieldAt(const UCHAR* Buffer, size_t Offset) {
    ULONG Value;
    std::memcpy(&Value, Buffer + Offset, sizeof Value);
    return Value;
}

TEST_F(Registry, KeysAndValuesAreFoundWithoutRegardToCase) {
    sim::SetRegistryDword(KeyPath, u"Loaded", 7);
    HANDLE Key = NULL;
    ASSERT_EQ(STATUS_SUCCESS,
              Open(u"\\REGISTRY\\machine\\System\\CurrentControlSet\\Services\\PROBE", QueryOnly, &Key));
    UCHAR Buffer[16];
    ULONG Length = 0;
    EXPECT_EQ(STATUS_SUCCESS, Query(Key, u"LOADED", Buffer, sizeof Buffer, &Length));
    EXPECT_EQ(7u, FieldAt(Buffer, Header));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(Key));
}

TEST_F(Registry, OpeningAMissingKeyFailsAndCreatesNothing) {
    HANDLE Key = (HANDLE)0x1234;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\Registry\\Machine\\SYSTEM\\Missing", KEY_ALL_ACCESS, &Key));
    EXPECT_EQ((HANDLE)0x1234, Key);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\Registry\\Machine\\SYSTEM\\Missing", KEY_ALL_ACCESS, &Key));
    EXPECT_EQ(0u, sim::OpenRegistryHandles());
}

TEST_F(Registry, KeyOpensRelativeToAnOpenKey) {
    sim::CreateRegistryKey(KeyPath + u"\\Parameters");
    HANDLE Parent = OpenProbe();
    HANDLE Child = NULL;
    EXPECT_EQ(STATUS_SUCCESS, Open(u"Parameters", KEY_ALL_ACCESS, &Child, Parent));
    EXPECT_EQ(2u, sim::OpenRegistryHandles());
    ZwClose(Child);
    ZwClose(Parent);
}

TEST_F(Registry, RelativePathWithoutARootIsASyntaxError) {
    HANDLE Key = NULL;
    EXPECT_EQ((NTSTATUS)0xC000003B, Open(u"Registry\\Machine", KEY_ALL_ACCESS, &Key));
}

// Handles look like kernel handles: top bit set, low two bits clear.
TEST_F(Registry, HandlesAreKernelHandles) {
    HANDLE Key = OpenProbe();
    EXPECT_EQ(0xFFFFFFFF80000000ull, (ULONG_PTR)Key & 0xFFFFFFFF80000000ull);
    EXPECT_EQ(0u, (ULONG_PTR)Key & 3);
    ZwClose(Key);
}

TEST_F(Registry, QueryFillsThePartialInformation) {
    sim::SetRegistryDword(KeyPath, u"Loaded", 0x01020304);
    HANDLE Key = OpenProbe(QueryOnly);
    UCHAR Buffer[20];
    std::memset(Buffer, 0xEE, sizeof Buffer);
    ULONG Length = 0;
    EXPECT_EQ(STATUS_SUCCESS, Query(Key, u"Loaded", Buffer, sizeof Buffer, &Length));
    EXPECT_EQ(16u, Length);
    EXPECT_EQ(0u, FieldAt(Buffer, 0));
    EXPECT_EQ((ULONG)REG_DWORD, FieldAt(Buffer, 4));
    EXPECT_EQ(4u, FieldAt(Buffer, 8));
    EXPECT_EQ(0x01020304u, FieldAt(Buffer, 12));
    EXPECT_EQ(0xEEEEEEEEu, FieldAt(Buffer, 16));
    ZwClose(Key);
}

// Smaller than the fixed part: nothing is written, and the caller learns the size the answer needs.
TEST_F(Registry, QueryIntoABufferSmallerThanTheHeaderWritesNothing) {
    sim::SetRegistryDword(KeyPath, u"Loaded", 1);
    HANDLE Key = OpenProbe(QueryOnly);
    UCHAR Buffer[11];
    std::memset(Buffer, 0xEE, sizeof Buffer);
    ULONG Length = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(Key, u"Loaded", Buffer, sizeof Buffer, &Length));
    EXPECT_EQ(16u, Length);
    for (UCHAR Byte : Buffer) {
        EXPECT_EQ(0xEE, Byte);
    }
    ZwClose(Key);
}

// Room for the fixed part but not all the data: the fixed part and as much data as fits.
TEST_F(Registry, QueryIntoABufferTooSmallForTheDataOverflows) {
    sim::SetRegistryValue(KeyPath, u"Blob", REG_BINARY, {1, 2, 3, 4, 5, 6});
    HANDLE Key = OpenProbe(QueryOnly);
    UCHAR Buffer[16];
    ULONG Length = 0;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Query(Key, u"Blob", Buffer, sizeof Buffer, &Length));
    EXPECT_EQ(18u, Length);
    EXPECT_EQ((ULONG)REG_BINARY, FieldAt(Buffer, 4));
    EXPECT_EQ(6u, FieldAt(Buffer, 8));
    EXPECT_EQ(0x04030201u, FieldAt(Buffer, 12));
    ZwClose(Key);
}

TEST_F(Registry, QueryOfAMissingValueIsNotFound) {
    HANDLE Key = OpenProbe(QueryOnly);
    UCHAR Buffer[16];
    ULONG Length = 0;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Query(Key, u"Loaded", Buffer, sizeof Buffer, &Length));
    ZwClose(Key);
}

TEST_F(Registry, EachCallNeedsItsAccessRight) {
    sim::SetRegistryDword(KeyPath, u"Loaded", 1);
    HANDLE SetKey = OpenProbe(SetOnly);
    UCHAR Buffer[16];
    ULONG Length = 0;
    EXPECT_EQ(AccessDenied, Query(SetKey, u"Loaded", Buffer, sizeof Buffer, &Length));
    HANDLE QueryKey = OpenProbe(QueryOnly);
    EXPECT_EQ(AccessDenied, SetDword(QueryKey, u"Loaded", 2));
    EXPECT_EQ(AccessDenied, Delete(QueryKey, u"Loaded"));
    EXPECT_EQ(1u, sim::GetRegistryDword(KeyPath, u"Loaded"));
    ZwClose(SetKey);
    ZwClose(QueryKey);
}

// The live registry holds a write at once; the disk only once the key is flushed.
TEST_F(Registry, UnflushedWritesAreLostWithThePower) {
    sim::SetRegistryDword(KeyPath, u"Kept", 1);
    HANDLE Key = OpenProbe();
    EXPECT_EQ(STATUS_SUCCESS, SetDword(Key, u"Fresh", 2));
    EXPECT_EQ(STATUS_SUCCESS, Delete(Key, u"Kept"));
    EXPECT_EQ(2u, sim::GetRegistryDword(KeyPath, u"Fresh"));
    EXPECT_FALSE(sim::GetRegistryValue(KeyPath, u"Kept"));
    ZwClose(Key);

    sim::LoseUnflushedRegistryWrites();

    EXPECT_FALSE(sim::GetRegistryValue(KeyPath, u"Fresh"));
    EXPECT_EQ(1u, sim::GetRegistryDword(KeyPath, u"Kept"));
}

TEST_F(Registry, FlushedWritesSurviveThePower) {
    sim::SetRegistryDword(KeyPath, u"Kept", 1);
    HANDLE Key = OpenProbe();
    SetDword(Key, u"Fresh", 2);
    Delete(Key, u"Kept");
    EXPECT_EQ(STATUS_SUCCESS, ZwFlushKey(Key));
    ZwClose(Key);

    sim::LoseUnflushedRegistryWrites();

    EXPECT_EQ(2u, sim::GetRegistryDword(KeyPath, u"Fresh"));
    EXPECT_FALSE(sim::GetRegistryValue(KeyPath, u"Kept"));
}

TEST_F(Registry, OrderlyShutdownFlushesEverything) {
    HANDLE Key = OpenProbe();
    SetDword(Key, u"Fresh", 2);
    ZwClose(Key);
    sim::FlushRegistryToDisk();
    sim::LoseUnflushedRegistryWrites();
    EXPECT_EQ(2u, sim::GetRegistryDword(KeyPath, u"Fresh"));
}

// A reboot keeps the registry, with its unflushed writes still live, and forgets handles and journal.
TEST_F(Registry, ResetKeepsTheRegistryAndForgetsHandlesAndJournal) {
    HANDLE Key = OpenProbe();
    SetDword(Key, u"Fresh", 2);
    sim::Reset();
    EXPECT_EQ(2u, sim::GetRegistryDword(KeyPath, u"Fresh"));
    EXPECT_EQ(0u, sim::OpenRegistryHandles());
    EXPECT_TRUE(sim::RegistryJournal().empty());
}

TEST_F(Registry, JournalRecordsEveryCallAndEveryFailure) {
    HANDLE Key = OpenProbe();
    SetDword(Key, u"Loaded", 1);
    UCHAR Buffer[16];
    ULONG Length = 0;
    Query(Key, u"Version", Buffer, sizeof Buffer, &Length);
    Delete(Key, u"Loaded");
    ZwFlushKey(Key);
    ZwClose(Key);
    EXPECT_EQ((std::vector<std::string>{
                  "Open \\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Probe "
                  "access 0xF003F attributes 0x240",
                  "Set Loaded=1", "Query Version -> 0xC0000034", "Delete Loaded", "Flush", "Close"}),
              sim::RegistryJournal());
}

TEST_F(Registry, FailureOnDemandHitsTheNextCallOnlyUnlessEveryCall) {
    HANDLE Key = OpenProbe();
    sim::FailRegistry(sim::RegistryFault::Set);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, SetDword(Key, u"A", 1));
    EXPECT_EQ(STATUS_SUCCESS, SetDword(Key, u"A", 1));
    sim::FailRegistry(sim::RegistryFault::Delete, AccessDenied, true);
    EXPECT_EQ(AccessDenied, Delete(Key, u"A"));
    EXPECT_EQ(AccessDenied, Delete(Key, u"A"));
    sim::FailRegistry(sim::RegistryFault::Delete, STATUS_SUCCESS);
    EXPECT_EQ(STATUS_SUCCESS, Delete(Key, u"A"));
    ZwClose(Key);
}

TEST_F(Registry, LeakedHandleIsATeardownProblem) {
    HANDLE Key = OpenProbe();
    const std::vector<std::string> Problems = sim::TeardownProblems();
    ASSERT_EQ(1u, Problems.size());
    EXPECT_EQ("registry key handle FFFFFFFF80000004 "
              "(\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Probe) never closed",
              Problems[0]);
    ZwClose(Key);
}

TEST_F(Registry, ClosingAHandleTwiceStopsTheSystem) {
    HANDLE Key = OpenProbe();
    ZwClose(Key);
    EXPECT_DEATH(ZwClose(Key), "\\*\\*\\* STOP 0x00000093 INVALID_KERNEL_HANDLE ZwClose of FFFFFFFF80000004");
}

TEST_F(Registry, RegistryCallsAbovePassiveLevelStopTheSystem) {
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    EXPECT_DEATH(
        {
            KeAcquireSpinLockRaiseToDpc(&Lock);
            HANDLE Key = NULL;
            Open(KeyPath.c_str(), KEY_ALL_ACCESS, &Key);
        },
        "\\*\\*\\* STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL ZwOpenKey at IRQL 2");
}

}  // namespace
