// Fuzzes the reading of one property out of `hadoop org.apache.hadoop.conf.Configuration` output
// (the configuration fallback of a libhdfs without hdfsConfGetStr).
//
// The first input byte chooses the mode:
//   even: raw text. Input after it: the key, "\n", then the program's output. Properties: no
//         crash; no value unless a property was found; a found value never holds more text than
//         the whole output.
//   odd:  round trip. Input after it: properties separated by "\x01", each a name and a value
//         separated by "\x02". They are written, XML-escaped, as one line in the program's
//         layout; asking for each name must give the value of the first property with that name.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "hadoop/HadoopConfig.h"
#include "host/Xml.h"

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            return pieces;
        start = end + 1;
    }
}

void RawText(const std::string& input) {
    const size_t newline = input.find('\n');
    if (newline == std::string::npos)
        return;
    const std::string key = input.substr(0, newline);
    const std::string output = input.substr(newline + 1);
    std::string value = "stale";
    const bool found = HadoopConfig::ExtractConfigurationValue(output, key, value);
    if (!found && !value.empty())
        abort();
    if (value.size() > output.size())
        abort();
}

void RoundTrip(const std::string& input) {
    std::string output =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?><configuration>";
    std::map<std::string, std::string> first;
    for (const std::string& property : Split(input, '\x01')) {
        const size_t separator = property.find('\x02');
        if (separator == std::string::npos)
            continue;
        const std::string name = property.substr(0, separator);
        const std::string value = property.substr(separator + 1);
        first.emplace(name, value);
        output += "<property><name>" + FXXmlEscape(name) + "</name>";
        output += value.empty() ? "<value/>" : "<value>" + FXXmlEscape(value) + "</value>";
        output += "<final>false</final><source>core-site.xml</source></property>";
    }
    output += "</configuration>";
    for (const auto& [name, expected] : first) {
        std::string value;
        if (!HadoopConfig::ExtractConfigurationValue(output, name, value))
            abort();
        if (value != expected)
            abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0)
        RawText(input);
    else
        RoundTrip(input);
    return 0;
}
