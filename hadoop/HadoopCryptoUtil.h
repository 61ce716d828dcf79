// CHadoopCryptoUtil: the cluster's HDFS encryption zones.
//
// Lists the zones once with "hdfs crypto -listZones", keeps their root paths in a sorted set and
// answers for a path the innermost zone that contains it. Not thread-safe: one object is used by
// one thread at a time.
#pragma once

#include <set>
#include <string>

#include "host/Error.h"
#include "host/Export.h"

class HDFSAGENT_API CHadoopCryptoUtil {
  public:
    CHadoopCryptoUtil();
    virtual ~CHadoopCryptoUtil();

    // Runs the listing and adds the zones found (zones accumulate over calls). Marks the list
    // populated before running, so a failed listing is not retried by GetEncryptionZone. A
    // non-zero exit fails with 1627 and logs the command, its output and its error text.
    CEkError PopulateEncryptionZones();
    // Sets `zone` to the innermost known zone root containing `path` (or equal to it); leaves
    // `zone` unchanged when none does. Lists the zones first when that was never attempted.
    CEkError GetEncryptionZone(const std::string& path, std::string& zone);
    // Empties the set; does not make a later GetEncryptionZone list again.
    void ClearEncryptionZones();

    // Adds the zone roots found in a listing's output: every line that begins with "/" and holds
    // two consecutive blanks contributes the text before the last such pair, without trailing
    // blanks. Other lines are ignored. Returns the number of lines that named a zone.
    size_t AddZonesFromListing(const std::string& output);

    const std::set<std::string>& GetEncryptionZones() const { return m_setEncryptionZones; }
    bool IsPopulated() const { return m_bZonesPopulated; }

  private:
    std::set<std::string> m_setEncryptionZones;
    bool m_bZonesPopulated;
};
