// Symbol visibility of the library's interface.
//
// The library is compiled with -fvisibility=hidden; only what is marked HDFSAGENT_API is exported
// from libhdfsagent.so. HDFSAGENT_C_API additionally gives a function plain C linkage, for the
// entry points that agents resolve by their undecorated names.
#pragma once

#define HDFSAGENT_API __attribute__((visibility("default")))
#define HDFSAGENT_C_API extern "C" __attribute__((visibility("default")))
// The same as a standard attribute, for declarations that carry other [[...]] attributes
// (GNU attributes cannot stand between a class key and a standard attribute).
#define HDFSAGENT_API_ATTR [[gnu::visibility("default")]]
