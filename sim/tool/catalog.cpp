#include "sim/tool/catalog.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

bool is_folder(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder of the running binary, symbolic links resolved; empty when
// the system does not say.
std::string binary_folder() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    std::string exe(buf, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "" : exe.substr(0, slash);
}

} // namespace

CatalogLookup find_catalog() {
    CatalogLookup r;
    auto take = [&](const std::string &dir, const std::string &why) {
        r.tried.push_back(dir + " (" + why + ")");
        if (!is_folder(dir))
            return false;
        r.dir = dir;
        r.source = why;
        return true;
    };

    const char *env = std::getenv("FTQ_SCENARIOS");
    if (env != nullptr && *env != '\0') {
        if (take(env, "FTQ_SCENARIOS"))
            return r;
        r.warning = std::string("FTQ_SCENARIOS=") + env + " is not a folder";
    }
    std::string bin = binary_folder();
    if (!bin.empty()) {
        // bin/../share/ftq/scenarios, written without the "..".
        std::string share = bin, rel = FTQ_SHARE_CATALOG;
        while (rel.compare(0, 3, "../") == 0 && share.rfind('/') != std::string::npos) {
            share.erase(share.rfind('/'));
            rel.erase(0, 3);
        }
        if (take(share + "/" + rel, "the share folder of the installed ftq-sim"))
            return r;
        if (::access((bin + "/CMakeCache.txt").c_str(), F_OK) == 0 &&
            take(FTQ_SOURCE_CATALOG, "the source tree of the build folder " + bin))
            return r;
    }
    return r;
}

std::string catalog_not_found(const CatalogLookup &lookup) {
    std::string m = "no scenario catalog found; tried:\n";
    for (const std::string &t : lookup.tried)
        m += "  " + t + "\n";
    m += "(the source tree is tried only when ftq-sim runs from its build folder)\n"
         "set FTQ_SCENARIOS to the catalog's folder";
    return m;
}

} // namespace sim
