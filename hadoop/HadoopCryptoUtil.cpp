// CHadoopCryptoUtil: the encryption zones listed by "hdfs crypto -listZones".
#include "hadoop/HadoopCryptoUtil.h"

#include <new>

#include "hadoop/HadoopCommon.h"
#include "host/Log.h"
#include "host/Path.h"
#include "host/Process.h"
#include "host/Strings.h"

namespace {

// The zone root of one listing line: "<root><blanks><key name>". The root ends where the last
// pair of blanks begins; the listing pads the root column, so trailing blanks are stripped too.
bool ZoneRootOfLine(std::string line, std::string& root) {
    if (line.empty() || line[0] != '/')
        return false;
    FXString::TrimRight(line, "\n");
    const size_t separator = line.rfind("  ");
    if (separator == std::string::npos)
        return false;
    root = line.substr(0, separator);
    FXString::TrimRight(root, " ");
    return !root.empty();
}

}  // namespace

CHadoopCryptoUtil::CHadoopCryptoUtil() : m_bZonesPopulated(false) {}

CHadoopCryptoUtil::~CHadoopCryptoUtil() = default;

size_t CHadoopCryptoUtil::AddZonesFromListing(const std::string& output) {
    size_t added = 0;
    size_t begin = 0;
    while (begin < output.size()) {
        size_t end = output.find('\n', begin);
        if (end == std::string::npos)
            end = output.size();
        std::string root;
        if (ZoneRootOfLine(output.substr(begin, end - begin), root)) {
            m_setEncryptionZones.insert(root);
            DXLOG(3, "EncryptionZone '%s' added to list", root.c_str());
            ++added;
        }
        begin = end + 1;
    }
    return added;
}

CEkError CHadoopCryptoUtil::PopulateEncryptionZones() {
    try {
        const std::string command = GetHadoopCommand("hdfs") + " crypto -listZones";
        // A failed listing is not retried by GetEncryptionZone.
        m_bZonesPopulated = true;
        std::string out, err;
        const int status = DxProcess::system(command, &out, &err);
        if (status != 0) {
            DXLOG(-1, "Failed to command[%s], out[%s], err[%s]", command.c_str(), out.c_str(),
                  err.c_str());
            return FXErrorUtil::ErrorWin32(FX_LOCATION, 1627);
        }
        DXLOG(3, "Encryption Zones: '%s'", out.c_str());
        AddZonesFromListing(out);
        return CEkError();
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOMEM, "out of memory");
    }
}

CEkError CHadoopCryptoUtil::GetEncryptionZone(const std::string& path, std::string& zone) {
    if (!m_bZonesPopulated) {
        CEkError err = PopulateEncryptionZones();
        if (err.Failed())
            return err.Push(FX_LOCATION);
    }
    // From the greatest root down: of two nested roots the inner one sorts after its ancestor and
    // is met first.
    for (auto root = m_setEncryptionZones.rbegin(); root != m_setEncryptionZones.rend(); ++root) {
        if (FXPath::IsAncestorOf(*root, path, true)) {
            zone = *root;
            break;
        }
    }
    return CEkError();
}

void CHadoopCryptoUtil::ClearEncryptionZones() {
    m_setEncryptionZones.clear();
}
