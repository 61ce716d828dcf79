#include "Manifest.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "LocalFile.h"
#include "Paths.h"

namespace tool {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

const size_t kWriteBufferBytes = 1 << 20;
const size_t kReadChunkBytes = 1 << 20;
// A manifest line holds one entry: its ACL and extended attributes are the only large parts
// (HDFS allows 32 attributes of at most 16 KiB each, which base64 makes about 700 KiB). A longer
// line is corruption, and reading it whole would only waste memory.
const size_t kMaxLineBytes = 8u << 20;
// An entry nests three levels deep ({"acl":{"entries":[...]}}). Deeper JSON is corruption, and
// JSON values are copied and freed recursively, so a line nested without limit would overflow
// the stack.
const size_t kMaxNestingDepth = 32;
// Times are seconds since 1970; anything outside 1970..9999 is not a time HDFS could report.
const int64_t kMaxTime = 253402300799;
// libhdfs takes the block size of a new file as a 32-bit int.
const int64_t kMaxBlockSize = 2147483647;
// A name that is not UTF-8 cannot be a JSON string; it is recorded as the hex of its bytes under
// the field's name with this suffix instead.
const char kHexSuffix[] = "_hex";

std::string ErrnoText(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + strerror(errno);
}

// False when `line` nests arrays and objects deeper than `limit` (brackets inside strings do not
// count). Runs before the parser, so no deep value is ever built.
bool NestingWithin(const std::string& line, size_t limit) {
    size_t depth = 0;
    bool inString = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

std::string HexOf(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool BytesOfHex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2 != 0)
        return false;
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]);
        const int low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes += static_cast<char>(high << 4 | low);
    }
    return true;
}

// Stores a name or path losslessly: as JSON text when it is UTF-8, else as "<key>_hex".
void PutText(OrderedJson& line, const char* key, const std::string& value) {
    if (IsValidUtf8(value))
        line[key] = value;
    else
        line[std::string(key) + kHexSuffix] = HexOf(value);
}

bool SyncDirectory(int dirFd, bool wholeFileSystem) {
    return (wholeFileSystem ? syncfs(dirFd) : fsync(dirFd)) == 0;
}

// Reads typed members of one JSON object; the first problem is kept in `why`.
class CFields {
  public:
    explicit CFields(const Json& object) : m_oObject(object) {}

    const Json* Find(const char* key, bool required) {
        auto it = m_oObject.find(key);
        if (it == m_oObject.end() || it->is_null()) {
            if (required)
                Problem(std::string("missing \"") + key + "\"");
            return nullptr;
        }
        return &*it;
    }
    // A value PutText stored: "<key>" as text or "<key>_hex" as the hex of its bytes.
    void Text(const char* key, std::string& out, bool required = true) {
        const std::string hexKey = std::string(key) + kHexSuffix;
        if (Find(hexKey.c_str(), false) == nullptr)
            return String(key, out, required);
        std::string hex;
        String(hexKey.c_str(), hex);
        if (!m_sWhy.empty())
            return;
        if (m_oObject.contains(key))
            return Problem(std::string("both \"") + key + "\" and \"" + hexKey + "\"");
        if (!BytesOfHex(hex, out))
            return Problem("\"" + hexKey + "\" is not lower-case hex of whole bytes");
    }
    void String(const char* key, std::string& out, bool required = true) {
        const Json* value = Find(key, required);
        if (value == nullptr)
            return;
        if (!value->is_string())
            return Problem(std::string("\"") + key + "\" is not a string");
        out = value->get<std::string>();
    }
    void Signed(const char* key, int64_t& out, bool required = true) {
        const Json* value = Find(key, required);
        if (value == nullptr)
            return;
        if (!value->is_number_integer())
            return Problem(std::string("\"") + key + "\" is not an integer");
        out = value->get<int64_t>();
    }
    void Unsigned(const char* key, uint64_t& out, bool required = true) {
        const Json* value = Find(key, required);
        if (value == nullptr)
            return;
        if (!value->is_number_unsigned())
            return Problem(std::string("\"") + key + "\" is not a non-negative integer");
        out = value->get<uint64_t>();
    }
    void Bool(const char* key, bool& out, bool required = true) {
        const Json* value = Find(key, required);
        if (value == nullptr)
            return;
        if (!value->is_boolean())
            return Problem(std::string("\"") + key + "\" is not true or false");
        out = value->get<bool>();
    }
    void Problem(const std::string& text) {
        if (m_sWhy.empty())
            m_sWhy = text;
    }
    const std::string& Why() const { return m_sWhy; }

  private:
    const Json& m_oObject;
    std::string m_sWhy;
};

std::string SerializeHeader(const ManifestHeader& header) {
    OrderedJson line;
    line["format"] = kManifestFormat;
    line["version"] = header.version;
    PutText(line, "root", header.root);
    PutText(line, "source", header.source);
    line["hash"] = header.hash;
    line["acl"] = header.acl;
    line["created"] = header.created;
    if (!header.previous.empty())
        PutText(line, "previous", header.previous);
    if (!header.excludes.empty())
        line["excludes"] = header.excludes;
    return line.dump() + "\n";
}

std::string SerializeEntry(const ManifestEntry& entry) {
    OrderedJson line;
    PutText(line, "path", entry.path);
    line["type"] = entry.directory ? "directory" : "file";
    line["size"] = entry.size;
    line["permission"] = FormatPermission(entry.permission);
    PutText(line, "owner", entry.owner);
    PutText(line, "group", entry.group);
    line["mtime"] = entry.mtime;
    line["atime"] = entry.atime;
    line["replication"] = entry.replication;
    line["blocksize"] = entry.blockSize;
    if (!entry.zone.empty())
        PutText(line, "zone", entry.zone);
    if (!entry.acl.is_null())
        line["acl"] = entry.acl;
    if (!entry.xattrs.is_null())
        line["xattrs"] = entry.xattrs;
    if (!entry.hash.empty())
        line["hash"] = entry.hash;
    if (!entry.data.empty())
        PutText(line, "data", entry.data);
    if (entry.referenced)
        line["referenced"] = true;
    line["status"] = entry.status;
    if (!entry.detail.empty())
        line["detail"] = entry.detail;
    // Names and paths are lossless above; only the free text of "detail" (and of ACLs, which the
    // REST service sent as JSON) could hold bytes that are not UTF-8, and there a replacement
    // character is better than no entry.
    return line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool IsKnownStatus(const std::string& status) {
    return status == kStatusOk || status == kStatusChanged || status == kStatusVanished ||
           status == kStatusFailed || status == kStatusPartial;
}

bool IsHexDigest(const std::string& text) {
    if (text.size() != 32)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// The fields of an entry line that are checked before they are stored in the entry.
struct RawEntryFields {
    std::string type;
    std::string permission;
    int64_t replication = 0;
};

// Reads the fields of a parsed line into `entry` and `raw`; "" or the first field that is
// missing or of the wrong kind.
std::string ReadEntryFields(const Json& object, ManifestEntry& entry, RawEntryFields& raw) {
    CFields fields(object);
    fields.Text("path", entry.path);
    fields.String("type", raw.type);
    fields.Unsigned("size", entry.size);
    fields.String("permission", raw.permission);
    fields.Text("owner", entry.owner);
    fields.Text("group", entry.group);
    fields.Signed("mtime", entry.mtime);
    fields.Signed("atime", entry.atime);
    fields.Signed("replication", raw.replication);
    fields.Signed("blocksize", entry.blockSize);
    fields.Text("zone", entry.zone, false);
    fields.String("hash", entry.hash, false);
    fields.Text("data", entry.data, false);
    fields.Bool("referenced", entry.referenced, false);
    fields.String("status", entry.status);
    fields.String("detail", entry.detail, false);
    if (const Json* acl = fields.Find("acl", false)) {
        if (!acl->is_object())
            fields.Problem("\"acl\" is not an object");
        entry.acl = *acl;
    }
    if (const Json* xattrs = fields.Find("xattrs", false)) {
        if (!xattrs->is_array())
            fields.Problem("\"xattrs\" is not an array");
        entry.xattrs = *xattrs;
    }
    return fields.Why();
}

// Checks the path, type and metadata of an entry against what HDFS can hold and stores the raw
// fields; "" or the reason they are invalid.
std::string CheckEntryMetadata(const RawEntryFields& raw, ManifestEntry& entry) {
    if (!IsValidEntryPath(entry.path))
        return "invalid path \"" + entry.path + "\"";
    if (raw.type != "file" && raw.type != "directory")
        return "unknown type \"" + raw.type + "\"";
    entry.directory = raw.type == "directory";
    if (!ParsePermission(raw.permission, entry.permission))
        return "invalid permission \"" + raw.permission + "\"";
    if ((entry.permission & 06000) != 0)
        return "permission \"" + raw.permission +
               "\" has a setuid or setgid bit, which HDFS has not";
    if (entry.size > static_cast<uint64_t>(INT64_MAX))
        return "invalid size " + std::to_string(entry.size);
    if (raw.replication < 0 || raw.replication > 32767)
        return "invalid replication";
    if (entry.blockSize < 0 || entry.blockSize > kMaxBlockSize)
        return "invalid block size " + std::to_string(entry.blockSize) + " (at most " +
               std::to_string(kMaxBlockSize) + ")";
    if (entry.mtime < 0 || entry.mtime > kMaxTime)
        return "invalid modification time " + std::to_string(entry.mtime);
    if (entry.atime < 0 || entry.atime > kMaxTime)
        return "invalid access time " + std::to_string(entry.atime);
    entry.replication = static_cast<int>(raw.replication);
    return "";
}

// Checks the status and, for an entry with content, its hash and data location; "" or the
// reason they are invalid.
std::string CheckEntryContent(const ManifestEntry& entry) {
    if (!IsKnownStatus(entry.status))
        return "unknown status \"" + entry.status + "\"";
    if (entry.HasContent()) {
        if (!IsHexDigest(entry.hash))
            return "missing or invalid hash";
        if (entry.data.empty() || entry.data[0] == '/' ||
            entry.data.find('\0') != std::string::npos)
            return "missing or invalid data location";
    }
    return "";
}

// Entry fields from a parsed line; "" or the reason it is not a valid entry.
std::string ParseEntry(const Json& object, ManifestEntry& entry) {
    entry = ManifestEntry();
    RawEntryFields raw;
    std::string why = ReadEntryFields(object, entry, raw);
    if (why.empty())
        why = CheckEntryMetadata(raw, entry);
    if (why.empty())
        why = CheckEntryContent(entry);
    return why;
}

}  // namespace

void ManifestTrailer::Count(const ManifestEntry& entry) {
    ++entries;
    if (entry.directory)
        ++directories;
    if (entry.HasContent()) {
        ++files;
        bytes += entry.size;
        if (entry.referenced)
            ++referenced;
    }
    if (entry.status != kStatusOk)
        ++problems;
}

std::string FormatPermission(unsigned permission) {
    char text[8];
    snprintf(text, sizeof text, "%04o", permission & 07777);
    return text;
}

bool ParsePermission(const std::string& text, unsigned& permission) {
    if (text.empty() || text.size() > 4)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '7')
            return false;
        value = value * 8 + static_cast<unsigned>(c - '0');
    }
    permission = value;
    return true;
}

// ---- writer ---------------------------------------------------------------------------------

CManifestWriter::~CManifestWriter() {
    Abort();
    if (m_nDirFd >= 0)
        close(m_nDirFd);
}

bool CManifestWriter::Open(const std::string& dir, const ManifestHeader& header,
                           std::string& error) {
    CFd dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dirFd.IsOpen()) {
        error = ErrnoText("cannot open", dir);
        return false;
    }
    return Open(dirFd.Get(), dir, header, error);
}

bool CManifestWriter::Open(int dirFd, const std::string& dir, const ManifestHeader& header,
                           std::string& error) {
    Abort();
    if (m_nDirFd >= 0)
        close(m_nDirFd);
    m_nDirFd = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    m_sDir = dir;
    const std::string partial = dir + "/" + kManifestPartialName;
    if (m_nDirFd < 0 || (unlinkat(m_nDirFd, kManifestPartialName, 0) != 0 && errno != ENOENT)) {
        error = ErrnoText("cannot replace", partial);
        return false;
    }
    m_nFd = openat(m_nDirFd, kManifestPartialName,
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_nFd < 0) {
        error = ErrnoText("cannot create", partial);
        return false;
    }
    m_sPartial = partial;
    m_oTrailer = ManifestTrailer();
    m_pChecksum.reset(new CTextChecksum);
    m_sBuffer.clear();
    m_sBuffer.reserve(kWriteBufferBytes + 4096);
    try {
        return Append(SerializeHeader(header), error);
    } catch (const nlohmann::json::exception& e) {
        error = std::string("cannot write the manifest header: ") + e.what();
        return false;
    }
}

bool CManifestWriter::Write(const ManifestEntry& entry, std::string& error) {
    std::string line;
    try {
        line = SerializeEntry(entry);
    } catch (const nlohmann::json::exception& e) {
        error = "cannot record " + entry.path + " in the manifest: " + e.what();
        return false;
    }
    m_oTrailer.Count(entry);
    return Append(line, error);
}

bool CManifestWriter::Append(const std::string& line, std::string& error) {
    if (m_nFd < 0) {
        error = "the manifest is not open";
        return false;
    }
    m_pChecksum->Update(line);
    m_sBuffer += line;
    return m_sBuffer.size() < kWriteBufferBytes || Flush(error);
}

bool CManifestWriter::Flush(std::string& error) {
    if (!WriteAll(m_nFd, m_sBuffer.data(), m_sBuffer.size())) {
        error = ErrnoText("cannot write", m_sPartial);
        return false;
    }
    m_sBuffer.clear();
    return true;
}

bool CManifestWriter::Commit(bool syncData, std::string& error) {
    if (m_nFd < 0) {
        error = "the manifest is not open";
        return false;
    }
    m_oTrailer.checksum = m_pChecksum->HexDigest();
    OrderedJson counts;
    counts["entries"] = m_oTrailer.entries;
    counts["files"] = m_oTrailer.files;
    counts["directories"] = m_oTrailer.directories;
    counts["bytes"] = m_oTrailer.bytes;
    counts["referenced"] = m_oTrailer.referenced;
    counts["problems"] = m_oTrailer.problems;
    counts["checksum"] = m_oTrailer.checksum;
    OrderedJson trailer;
    trailer["trailer"] = counts;
    m_sBuffer += trailer.dump() + "\n";
    if (!Flush(error))
        return false;
    if (fsync(m_nFd) != 0) {
        error = ErrnoText("cannot sync", m_sPartial);
        return false;
    }
    // The data files must be on disk before a manifest under the final name vouches for them.
    if (syncData && !SyncDirectory(m_nDirFd, true)) {
        error = ErrnoText("cannot sync the file system of", m_sDir);
        return false;
    }
    // Readable by all once complete, as the data directory's names are.
    if (fchmod(m_nFd, 0644) != 0) {
        error = ErrnoText("cannot set the mode of", m_sPartial);
        return false;
    }
    if (close(m_nFd) != 0) {
        m_nFd = -1;
        error = ErrnoText("cannot close", m_sPartial);
        return false;
    }
    m_nFd = -1;
    const std::string final = m_sDir + "/" + kManifestName;
    if (renameat(m_nDirFd, kManifestPartialName, m_nDirFd, kManifestName) != 0) {
        error = ErrnoText("cannot rename the manifest to", final);
        return false;
    }
    m_sPartial.clear();
    if (!SyncDirectory(m_nDirFd, false)) {
        error = ErrnoText("cannot sync", m_sDir);
        return false;
    }
    return true;
}

void CManifestWriter::Abort() {
    if (m_nFd >= 0) {
        close(m_nFd);
        m_nFd = -1;
    }
    if (!m_sPartial.empty()) {
        unlinkat(m_nDirFd, kManifestPartialName, 0);
        m_sPartial.clear();
    }
}

// ---- reader ---------------------------------------------------------------------------------

CManifestReader::CManifestReader() = default;

CManifestReader::~CManifestReader() {
    if (m_nFd >= 0)
        close(m_nFd);
}

bool CManifestReader::Fail(const std::string& message, std::string& error) const {
    error = m_sPath + ":" + std::to_string(m_nLine) + ": " + message;
    return false;
}

int CManifestReader::ReadLine(std::string& line, std::string& error) {
    line.clear();
    for (;;) {
        const size_t newline = m_sBuffer.find('\n', m_nBufferPos);
        if (newline != std::string::npos) {
            line.append(m_sBuffer, m_nBufferPos, newline - m_nBufferPos);
            m_nBufferPos = newline + 1;
            ++m_nLine;
            m_pChecksum->Update(line + "\n");
            return 1;
        }
        line.append(m_sBuffer, m_nBufferPos, std::string::npos);
        m_sBuffer.clear();
        m_nBufferPos = 0;
        if (line.size() > kMaxLineBytes) {
            ++m_nLine;
            Fail("line longer than " + std::to_string(kMaxLineBytes) + " bytes (corrupted)", error);
            return -1;
        }
        if (m_bEof) {
            if (line.empty())
                return 0;
            ++m_nLine;
            Fail("the last line is cut off (the manifest is truncated)", error);
            return -1;
        }
        m_sBuffer.resize(kReadChunkBytes);
        ssize_t n;
        do {
            n = read(m_nFd, &m_sBuffer[0], kReadChunkBytes);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            error = ErrnoText("cannot read", m_sPath);
            m_sBuffer.clear();
            return -1;
        }
        m_sBuffer.resize(static_cast<size_t>(n));
        if (n == 0)
            m_bEof = true;
    }
}

bool CManifestReader::OpenRegularFile(const std::string& dir, std::string& error) {
    m_sPath = dir + "/" + kManifestName;
    // Never through a link, and never a FIFO or device (which could block or never end).
    m_nFd = open(m_sPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (m_nFd < 0) {
        error = errno == ENOENT ? "no backup in " + dir + " (" + kManifestName + " is missing)"
                                : ErrnoText("cannot open", m_sPath);
        return false;
    }
    struct stat st;
    if (fstat(m_nFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = m_sPath + " is not a regular file";
        return false;
    }
    return true;
}

bool CManifestReader::ReadHeaderLine(nlohmann::json& header, std::string& error) {
    std::string line;
    const int rc = ReadLine(line, error);
    if (rc < 0)
        return false;
    if (rc == 0)
        return Fail("empty file, not a manifest", error);
    if (!NestingWithin(line, kMaxNestingDepth))
        return Fail("JSON nested deeper than " + std::to_string(kMaxNestingDepth) +
                        " levels, not an hdfsagent backup manifest",
                    error);
    header = Json::parse(line, nullptr, false);
    if (header.is_discarded() || !header.is_object() || !header.contains("format") ||
        header["format"] != kManifestFormat)
        return Fail("not an hdfsagent backup manifest", error);
    return true;
}

bool CManifestReader::ParseHeader(const nlohmann::json& header, std::string& error) {
    CFields fields(header);
    int64_t version = 0;
    fields.Signed("version", version);
    if (fields.Why().empty() && version > kManifestVersion)
        return Fail("manifest format version " + std::to_string(version) +
                        " is newer than this hdfsagent reads (" + std::to_string(kManifestVersion) +
                        "); use a newer hdfsagent",
                    error);
    if (fields.Why().empty() && version < 1)
        return Fail("invalid manifest format version " + std::to_string(version), error);
    m_oHeader.version = static_cast<int>(version);
    fields.Text("root", m_oHeader.root);
    fields.Text("source", m_oHeader.source);
    fields.String("hash", m_oHeader.hash);
    fields.Bool("acl", m_oHeader.acl);
    fields.Signed("created", m_oHeader.created);
    fields.Text("previous", m_oHeader.previous, false);
    if (const Json* excludes = fields.Find("excludes", false)) {
        if (!excludes->is_array())
            fields.Problem("\"excludes\" is not an array");
        else
            for (const Json& pattern : *excludes) {
                if (!pattern.is_string()) {
                    fields.Problem("\"excludes\" holds a value that is not a string");
                    break;
                }
                m_oHeader.excludes.push_back(pattern.get<std::string>());
            }
    }
    if (!fields.Why().empty())
        return Fail("invalid header: " + fields.Why(), error);
    if (m_oHeader.hash != CContentHash::kName)
        return Fail("unknown content hash \"" + m_oHeader.hash + "\"", error);
    return true;
}

bool CManifestReader::Open(const std::string& dir, std::string& error) {
    if (!OpenRegularFile(dir, error))
        return false;
    m_pChecksum.reset(new CTextChecksum);
    Json header;
    return ReadHeaderLine(header, error) && ParseHeader(header, error);
}

bool CManifestReader::CheckTrailer(const Json& object, const std::string& expectedChecksum,
                                   std::string& error) {
    const Json& counts = object["trailer"];
    if (!counts.is_object())
        return Fail("invalid trailer", error);
    CFields fields(counts);
    fields.Unsigned("entries", m_oTrailer.entries);
    fields.Unsigned("files", m_oTrailer.files);
    fields.Unsigned("directories", m_oTrailer.directories);
    fields.Unsigned("bytes", m_oTrailer.bytes);
    fields.Unsigned("referenced", m_oTrailer.referenced);
    fields.Unsigned("problems", m_oTrailer.problems);
    fields.String("checksum", m_oTrailer.checksum);
    if (!fields.Why().empty())
        return Fail("invalid trailer: " + fields.Why(), error);
    if (m_oTrailer.checksum != expectedChecksum)
        return Fail("checksum mismatch (the manifest is corrupted)", error);
    const ManifestTrailer& c = m_oCounted;
    if (c.entries != m_oTrailer.entries || c.files != m_oTrailer.files ||
        c.directories != m_oTrailer.directories || c.bytes != m_oTrailer.bytes ||
        c.referenced != m_oTrailer.referenced || c.problems != m_oTrailer.problems)
        return Fail("the trailer's counts do not match the entries (the manifest is corrupted)",
                    error);
    return true;
}

int CManifestReader::Next(ManifestEntry& entry, std::string& error) {
    if (m_bDone)
        return 0;
    // The checksum covers every line before the trailer: take it before reading the next line,
    // which may be the trailer.
    const std::string before = m_pChecksum->HexDigest();
    std::string line;
    const int rc = ReadLine(line, error);
    if (rc < 0)
        return -1;
    if (rc == 0) {
        Fail("no trailer (the manifest is truncated)", error);
        return -1;
    }
    if (!NestingWithin(line, kMaxNestingDepth)) {
        Fail("JSON nested deeper than " + std::to_string(kMaxNestingDepth) +
                 " levels (the manifest is corrupted)",
             error);
        return -1;
    }
    const Json object = Json::parse(line, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        Fail("not a JSON object (the manifest is corrupted)", error);
        return -1;
    }
    if (object.contains("trailer")) {
        if (!CheckTrailer(object, before, error))
            return -1;
        std::string extra;
        const int more = ReadLine(extra, error);
        if (more < 0)
            return -1;
        if (more > 0) {
            Fail("text after the trailer (the manifest is corrupted)", error);
            return -1;
        }
        m_bDone = true;
        return 0;
    }
    const std::string why = ParseEntry(object, entry);
    if (!why.empty()) {
        Fail(why + " (the manifest is corrupted)", error);
        return -1;
    }
    if (m_nLine == 2 ? entry.path != "." : ComparePathOrder(m_sLastPath, entry.path) >= 0) {
        Fail("entry \"" + entry.path + "\" out of order (the manifest is corrupted)", error);
        return -1;
    }
    // In backup order the first entry below a path comes right after it.
    if (m_bLastIsFile && IsAncestorPath(m_sLastPath, entry.path)) {
        Fail("entry \"" + entry.path + "\" lies below the file \"" + m_sLastPath +
                 "\" (the manifest is corrupted)",
             error);
        return -1;
    }
    m_sLastPath = entry.path;
    m_bLastIsFile = !entry.directory;
    m_oCounted.Count(entry);
    return 1;
}

bool ValidateManifest(const std::string& dir, ManifestHeader& header, ManifestTrailer& trailer,
                      std::string& error, const EntryCheck& check) {
    CManifestReader reader;
    if (!reader.Open(dir, error))
        return false;
    ManifestEntry entry;
    int rc;
    std::string why;
    while ((rc = reader.Next(entry, error)) > 0) {
        if (check && !check(entry, why)) {
            error = reader.Path() + ":" + std::to_string(reader.LineNumber()) + ": " + why;
            return false;
        }
    }
    if (rc < 0)
        return false;
    header = reader.Header();
    trailer = reader.Trailer();
    return true;
}

}  // namespace tool
