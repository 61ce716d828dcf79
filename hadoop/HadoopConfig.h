// Reading one property out of the output of `hadoop org.apache.hadoop.conf.Configuration`.
// Internal to the library (not exported); GetConfString's command fallback uses it and the tests
// and fuzz targets reach it directly.
#pragma once

#include <string>

namespace HadoopConfig {

// The program prints the merged configuration as XML, usually all on one line:
//   <configuration><property><name>K</name><value>V</value>...</property>...</configuration>
// Finds the first property whose <name> text is exactly `key` and sets `value` to the text of
// its <value> element with the five predefined XML entities decoded. A <value/> element gives an
// empty value. True when the property was found with a value element; false (and `value` empty)
// otherwise. Any input is safe: malformed, truncated or binary text only makes it return false.
bool ExtractConfigurationValue(const std::string& output, const std::string& key,
                               std::string& value);

// The five predefined XML entities (&lt; &gt; &amp; &quot; &apos;) and numeric character
// references below 128 decoded; anything else is kept as written.
std::string DecodeXmlText(const std::string& text);

}  // namespace HadoopConfig
