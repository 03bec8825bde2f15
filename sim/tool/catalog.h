// Where ftq-sim finds its scenario catalog.
#pragma once

#include <string>
#include <vector>

namespace sim {

struct CatalogLookup {
    std::string dir;                // the folder found; empty when none was
    std::string source;             // why it was chosen, for --list
    std::vector<std::string> tried; // the folders tried, each with its reason
    std::string warning;            // FTQ_SCENARIOS was set but is no folder
};

// The first folder of: $FTQ_SCENARIOS; the share folder of an installation,
// relative to the running binary (FTQ_SHARE_CATALOG, ../share/ftq/scenarios);
// the source tree's scenarios/ (FTQ_SOURCE_CATALOG) when the binary runs
// from its build folder, that is when CMakeCache.txt lies next to it.
CatalogLookup find_catalog();

// The message for a lookup that found nothing: every folder tried.
std::string catalog_not_found(const CatalogLookup &lookup);

} // namespace sim
