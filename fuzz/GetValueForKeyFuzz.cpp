// Fuzzes CHadoopRestUtil::GetValueForKey on a properties file made from the input.
//
// Input: the key, "\n", then the file's bytes. Property, checked against an independent reading
// of the same bytes held in memory: the call succeeds, and the value is the text after the first
// "=" of the first non-empty line whose text before that "=" equals the key, or the caller's
// value unchanged when there is no such line.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "hadoop/HadoopRestUtil.h"

namespace {

std::string ExpectedValue(const std::string& content, const std::string& key,
                          const std::string& initial) {
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        const std::string line = content.substr(start, end - start);
        start = end + 1;
        const size_t equals = line.find('=');
        if (line.empty() || equals == std::string::npos)
            continue;
        if (line.substr(0, equals) == key)
            return line.substr(equals + 1);
    }
    return initial;
}

const std::string& FilePath() {
    static const std::string path = [] {
        char name[] = "/tmp/hdfsagent-fuzz-props-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            abort();
        close(fd);
        return std::string(name);
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    if (newline == std::string::npos)
        return 0;
    const std::string key = input.substr(0, newline);
    const std::string content = input.substr(newline + 1);

    FILE* file = fopen(FilePath().c_str(), "wb");
    if (file == nullptr)
        abort();
    if (!content.empty() && fwrite(content.data(), 1, content.size(), file) != content.size())
        abort();
    fclose(file);

    static DXHadoop::CHadoopRestUtil util(DXHadoop::eModeExternal, DXHadoop::eAppTypeHadoop, 1);
    const std::string initial = "\x01unset";
    std::string value = initial;
    CEkError err = util.GetValueForKey(FilePath(), key, value);
    if (err.Failed())
        abort();
    if (value != ExpectedValue(content, key, initial))
        abort();
    return 0;
}
