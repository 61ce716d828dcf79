#include "Config.h"

#include <pwd.h>
#include <sys/stat.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace localhdfs {

namespace {

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

const char* ChildText(const tinyxml2::XMLElement* property, const char* name, bool& present) {
    const tinyxml2::XMLElement* child = property->FirstChildElement(name);
    present = child != nullptr;
    if (!child)
        return "";
    const char* text = child->GetText();
    return text ? text : "";
}

// Parses a signed integer as Hadoop does (optional sign, decimal or 0x-hex).
bool ParseInteger(const std::string& text, long long& value) {
    std::string digits = text;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits.erase(0, 1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.erase(0, 2);
    }
    if (digits.empty() || !isxdigit(static_cast<unsigned char>(digits[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = strtoll(digits.c_str(), &end, base);
    if (errno != 0 || *end != '\0')
        return false;
    value = negative ? -parsed : parsed;
    return true;
}

}  // namespace

std::string LoginUserName() {
    const char* env = getenv("HADOOP_USER_NAME");
    if (env && *env)
        return env;
    struct passwd pwd;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &pwd, buffer, sizeof buffer, &found) == 0 && found)
        return found->pw_name;
    return std::to_string(getuid());
}

bool Config::Load(std::string& error) {
    const char* dir = getenv("HADOOP_CONF_DIR");
    if (!dir || !*dir)
        return true;
    return LoadDirectory(dir, error);
}

bool Config::LoadDirectory(const std::string& directory, std::string& error) {
    m_directory = directory;
    return LoadFile(directory + "/core-site.xml", error) &&
           LoadFile(directory + "/hdfs-site.xml", error);
}

bool Config::LoadFile(const std::string& path, std::string& error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return true;  // an absent site file is not an error
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        error = "cannot parse " + path + ": " + (doc.ErrorStr() ? doc.ErrorStr() : "error");
        return false;
    }
    const tinyxml2::XMLElement* root = doc.RootElement();
    if (!root || std::string(root->Name()) != "configuration") {
        error = "bad conf file " + path + ": top-level element not <configuration>";
        return false;
    }
    for (const tinyxml2::XMLElement* property = root->FirstChildElement("property"); property;
         property = property->NextSiblingElement("property")) {
        bool hasName = false;
        bool hasValue = false;
        bool hasFinal = false;
        const std::string name = Trim(ChildText(property, "name", hasName));
        const std::string value = ChildText(property, "value", hasValue);
        const bool final = Trim(ChildText(property, "final", hasFinal)) == "true";
        if (name.empty() || !hasValue)
            continue;
        auto existing = m_entries.find(name);
        if (existing != m_entries.end() && existing->second.final)
            continue;
        m_entries[name] = Entry{value, final};
    }
    return true;
}

void Config::Set(const std::string& key, const std::string& value) {
    m_entries[key] = Entry{value, false};
}

std::optional<std::string> Config::Raw(const std::string& key) const {
    auto it = m_entries.find(key);
    if (it == m_entries.end())
        return std::nullopt;
    return it->second.value;
}

std::optional<std::string> Config::Get(const std::string& key) const {
    std::optional<std::string> raw = Raw(key);
    if (!raw)
        return raw;
    return Expand(*raw);
}

// ${name} references: Java system properties first (the few that matter here), then other keys,
// at most 20 substitutions (as Hadoop); an unresolvable reference stays as written.
std::string Config::Expand(const std::string& value) const {
    std::string result = value;
    size_t searchFrom = 0;
    for (int substitutions = 0; substitutions < 20;) {
        const size_t open = result.find("${", searchFrom);
        if (open == std::string::npos)
            break;
        const size_t close = result.find('}', open + 2);
        if (close == std::string::npos)
            break;
        const std::string name = result.substr(open + 2, close - open - 2);
        std::optional<std::string> replacement;
        if (name.rfind("env.", 0) == 0) {
            const char* env = getenv(name.c_str() + 4);
            if (env)
                replacement = env;
        } else if (name == "user.name") {
            replacement = LoginUserName();
        } else if (name == "user.home") {
            const char* home = getenv("HOME");
            replacement = home ? home : "/";
        } else if (name == "java.io.tmpdir") {
            replacement = "/tmp";
        } else if (name.find_first_of("${ ") == std::string::npos) {
            replacement = Raw(name);
        }
        if (!replacement) {
            searchFrom = close + 1;
            continue;
        }
        result.replace(open, close - open + 1, *replacement);
        ++substitutions;
    }
    return result;
}

bool Config::GetInt(const std::string& key, int32_t& value, std::string& error) const {
    std::optional<std::string> text = Get(key);
    if (!text)
        return true;
    long long parsed = 0;
    if (!ParseInteger(Trim(*text), parsed) || parsed < INT32_MIN || parsed > INT32_MAX) {
        error = "java.lang.NumberFormatException: For input string: \"" + *text + "\"";
        return false;
    }
    value = static_cast<int32_t>(parsed);
    return true;
}

bool Config::GetLongBytes(const std::string& key, int64_t& value, std::string& error) const {
    std::optional<std::string> text = Get(key);
    if (!text)
        return true;
    std::string number = Trim(*text);
    int shift = 0;
    if (!number.empty()) {
        static const std::string kSuffixes = "kmgtpe";
        const size_t suffix = kSuffixes.find(static_cast<char>(tolower(number.back())));
        if (suffix != std::string::npos) {
            shift = 10 * static_cast<int>(suffix + 1);
            number.pop_back();
        }
    }
    long long parsed = 0;
    if (!ParseInteger(number, parsed) ||
        (shift > 0 && (parsed > (LLONG_MAX >> shift) || parsed < (LLONG_MIN >> shift)))) {
        error = "java.lang.NumberFormatException: For input string: \"" + *text + "\"";
        return false;
    }
    value = shift > 0 ? parsed * (1LL << shift) : parsed;
    return true;
}

}  // namespace localhdfs
