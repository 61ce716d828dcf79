// The text edit of log4j property files behind AddOrUpdateFieldInConfigFile, internal to the
// library (its tests and the fuzzer use it directly).
#pragma once

#include <string>

namespace hdfsagent {
namespace properties {

// The pure text edit behind AddOrUpdateFieldInConfigFile:
// `content` with every entry of `key` replaced by "key=value", or the pair appended.
// Precondition: IsValidKey(key) and IsValidValue(value).
std::string SetProperty(const std::string& content, const std::string& key,
                        const std::string& value);
bool IsValidKey(const std::string& key);
bool IsValidValue(const std::string& value);

}  // namespace properties
}  // namespace hdfsagent
