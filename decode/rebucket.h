// Signing stored reports again: each is read anew from its raw text, resolved with the symbols at hand now
// and signed with this run's owner rules and qualifier table. `hestolvane-decode rebucket` does it for the
// whole index, and the upgrade of an index of an earlier version for the reports that version signed.
#pragma once

#include <optional>
#include <string>

#include "crash_index.h"
#include "signature.h"
#include "symbols.h"

namespace hestolvane::decode {

// What the crash index records a report was signed with.
SignedWith SigningOf(const Triage& With);

// The report of Raw (its lines from the begin marker on, as the index keeps them) signed again, its document
// rebuilt: what came from the capture around the report (its number, boot, line, end and warnings) is taken
// from the stored Document, and so are the names of a module whose symbols were found before and cannot be
// found now. Empty when Raw does not read as one report.
std::optional<Resigned> ResignStored(const std::string& Raw, const std::string& Document, SymbolResolver& Resolver,
                                     const Triage& With);

// Re-signs the index's reports (only those an earlier version signed, with OnlyUnsigned).
RebucketCounts RebucketIndex(CrashIndex& Index, SymbolResolver& Resolver, const Triage& With, bool OnlyUnsigned);

// "412 reports: 37 buckets before, 29 after; 96 reports moved"
std::string RebucketSummary(const RebucketCounts& Counts);

}  // namespace hestolvane::decode
