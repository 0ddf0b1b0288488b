// Runs exactly one bug check over a table of N records with a 20-frame stack, for counting the callback's
// instructions under callgrind: valgrind --tool=callgrind --toggle-collect=BugCheckDumpCallback ...
#include <cstdio>
#include <cstdlib>

#include "report_scenario.h"

int main(int Count, char** Arguments) {
    if (Count != 2 || std::atoi(Arguments[1]) <= 0) {
        std::fprintf(stderr, "usage: hestolvane_report_cost RECORDS\n");
        return 2;
    }
    bench::BuildScenario(static_cast<size_t>(std::atoi(Arguments[1])));
    bench::RaiseBugCheck();
    bench::TearDownScenario();
    return 0;
}
