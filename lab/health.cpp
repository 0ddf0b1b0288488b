// Health derived from a machine's boots: reports lost to a crash, boot loops and reboots nobody explained.
#include "store.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

namespace hestolvane::lab {

namespace {

bool SaysPreviousCrashed(const BootHealth& Boot) {
    return Boot.State && Boot.State->rfind("last_bsod", 0) == 0;
}

}  // namespace

std::string NowIso() {
    timeval Now{};
    gettimeofday(&Now, nullptr);
    std::tm Utc{};
    const time_t Seconds = Now.tv_sec;
    gmtime_r(&Seconds, &Utc);
    char Text[40];
    const size_t Length = std::strftime(Text, sizeof(Text), "%Y-%m-%dT%H:%M:%S", &Utc);
    std::snprintf(Text + Length, sizeof(Text) - Length, ".%03dZ", static_cast<int>(Now.tv_usec / 1000));
    return Text;
}

std::string IsoAfter(std::chrono::milliseconds Delay) {
    const auto Then = std::chrono::system_clock::now() + Delay;
    const auto Milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(Then.time_since_epoch()).count();
    const time_t Seconds = static_cast<time_t>(Milliseconds / 1000);
    std::tm Utc{};
    gmtime_r(&Seconds, &Utc);
    char Text[40];
    const size_t Length = std::strftime(Text, sizeof(Text), "%Y-%m-%dT%H:%M:%S", &Utc);
    std::snprintf(Text + Length, sizeof(Text) - Length, ".%03dZ", static_cast<int>(Milliseconds % 1000));
    return Text;
}

// Boots oldest first. The first boot seen has no known predecessor, so it can flag nothing by itself:
//   [normal, 0 reports] [last_bsod]            -> the second says a crash, none was captured
//   [normal, 0 reports, running] [normal]      -> a reboot nobody explained
//   [..] [last_bsod] [last_bsod] [last_bsod]   -> a boot loop while the run reaches the newest boot
Health DeriveHealth(const std::vector<BootHealth>& Boots) {
    Health Result;
    unsigned Run = 0;
    for (size_t Index = 0; Index < Boots.size(); ++Index) {
        const BootHealth& Boot = Boots[Index];
        Run = SaysPreviousCrashed(Boot) ? Run + 1 : 0;
        if (Index == 0) {
            continue;
        }
        const BootHealth& Before = Boots[Index - 1];
        if (SaysPreviousCrashed(Boot) && Before.Reports == 0) {
            ++Result.CrashesWithoutReport;
            Result.Flags.push_back("crash without a report: the boot loaded " + Before.LoadTime +
                                   " crashed and no report of it was captured");
        } else if (!SaysPreviousCrashed(Boot) && Boot.State && Before.Reports == 0 && !Before.Stopped) {
            ++Result.UnexplainedReboots;
            Result.Flags.push_back("unexplained reboot: the boot loaded " + Before.LoadTime +
                                   " neither crashed nor was seen to stop");
        }
    }
    if (Run >= BootLoopLength) {
        Result.BootLoop = true;
        Result.Flags.push_back("boot loop: the last " + std::to_string(Run) + " boots each say the one before crashed");
    }
    return Result;
}

}  // namespace hestolvane::lab
