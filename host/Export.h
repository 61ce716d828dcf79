// Symbol visibility of the library's interface.
//
// The library is compiled with -fvisibility=hidden; only what is marked HDFSAGENT_API is exported
// from libhdfsagent.so. HDFSAGENT_C_API additionally gives a function plain C linkage, for the
// entry points that agents resolve by their undecorated names.
#pragma once

#define HDFSAGENT_API __attribute__((visibility("default")))
#define HDFSAGENT_C_API extern "C" __attribute__((visibility("default")))
