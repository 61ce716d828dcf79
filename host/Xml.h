// XML text: escaping a string for element content or an attribute value.
#pragma once

#include <string>

#include "host/Export.h"

// `text` with "&", "<", ">", '"' and "'" replaced by their predefined entities, so it reads back
// as itself from element content and from an attribute value in either quotes. Other bytes,
// UTF-8 sequences included, pass unchanged.
HDFSAGENT_API std::string FXXmlEscape(const std::string& text);
