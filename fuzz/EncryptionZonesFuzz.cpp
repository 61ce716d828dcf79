// Fuzzes the reading of zone roots out of an `hdfs crypto -listZones` listing.
//
// Properties: no crash and no undefined behaviour; every root kept begins with "/", holds no line
// break and ends in no blank; it is the start of an input line that holds two consecutive blanks
// after it; the count returned is at least the number of distinct roots kept.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "hadoop/HadoopCryptoUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string listing(reinterpret_cast<const char*>(data), size);
    CHadoopCryptoUtil util;
    const size_t lines = util.AddZonesFromListing(listing);
    const std::set<std::string>& zones = util.GetEncryptionZones();
    if (lines < zones.size())
        abort();
    for (const std::string& root : zones) {
        if (root.empty() || root[0] != '/' || root.find('\n') != std::string::npos ||
            root.back() == ' ')
            abort();
        // Some line begins with the root and holds the two-blank separator after it.
        bool found = false;
        for (size_t at = 0; at != std::string::npos && !found;) {
            const size_t end = listing.find('\n', at);
            const std::string line = listing.substr(at, end == std::string::npos ? end : end - at);
            found = line.compare(0, root.size(), root) == 0 &&
                    line.find("  ", root.size()) != std::string::npos;
            at = end == std::string::npos ? end : end + 1;
        }
        if (!found)
            abort();
    }
    return 0;
}
