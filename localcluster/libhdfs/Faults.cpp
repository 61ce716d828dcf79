#include "Faults.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Errors.h"

namespace localhdfs {

namespace {

struct FaultRule {
    std::string entryPoint;
    int code = 0;
    long count = -1;  // -1: every call
};

bool ParseNumber(const std::string& text, long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= 0;
}

// Malformed rules are ignored: a typo must not fail unrelated calls.
std::vector<FaultRule> ParseRules(const std::string& text) {
    std::vector<FaultRule> rules;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string item = text.substr(start, comma - start);
        start = comma + 1;
        const size_t equals = item.find('=');
        if (equals == std::string::npos || equals == 0)
            continue;
        FaultRule rule;
        rule.entryPoint = item.substr(0, equals);
        std::string value = item.substr(equals + 1);
        const size_t colon = value.find(':');
        long number = 0;
        if (colon != std::string::npos) {
            if (!ParseNumber(value.substr(colon + 1), number))
                continue;
            rule.count = number;
            value.resize(colon);
        }
        if (!ParseNumber(value, number) || number > 4095)
            continue;
        rule.code = static_cast<int>(number);
        rules.push_back(rule);
    }
    return rules;
}

std::mutex g_faultMutex;
std::string g_faultText;        // the variable's text the counts belong to
std::map<size_t, long> g_used;  // rule index -> failures injected so far

}  // namespace

bool InjectedFailure(const char* entryPoint) {
    const int savedErrno = errno;
    const char* env = getenv("LOCALHDFS_FAULTS");
    if (!env || !*env)
        return false;
    std::lock_guard<std::mutex> lock(g_faultMutex);
    if (g_faultText != env) {
        g_faultText = env;
        g_used.clear();
    }
    const std::vector<FaultRule> rules = ParseRules(g_faultText);
    errno = savedErrno;
    for (size_t i = 0; i < rules.size(); ++i) {
        if (rules[i].entryPoint != entryPoint)
            continue;
        long& used = g_used[i];
        if (rules[i].count >= 0 && used >= rules[i].count)
            continue;
        ++used;
        Fail(rules[i].code,
             "org.apache.hadoop.localcluster.InjectedFault: " + std::string(entryPoint) +
                 " failed with errno " + std::to_string(rules[i].code));
        return true;
    }
    return false;
}

size_t ShortReadLimit() {
    const char* env = getenv("LOCALHDFS_SHORT_READS");
    if (!env || !*env)
        return 0;
    const long value = strtol(env, nullptr, 10);
    return value > 0 ? static_cast<size_t>(value) : 0;
}

}  // namespace localhdfs
