// libhdfs.so is opened by its bare name, and the library links it into the product home: the
// home must be on the loader's search path, which the loader reads only when a process starts.
// EnsureLoaderPath therefore re-executes the tool once with LD_LIBRARY_PATH starting with the
// product home (and HDFSAGENT_HOME set), before anything binds libhdfs.
//
// The same unit knows where the program itself and the localcluster pieces of the demo are.
#pragma once

#include <string>

namespace tool {

// Returns when the loader path already holds the product home; otherwise execs the program
// again with the same arguments (and returns only if that fails, after saying so).
void EnsureLoaderPath(char** argv);

// The localcluster pieces the demo builds an installation from.
struct LocalclusterPieces {
    std::string binDir;        // hadoop, hdfs, hbase, hdp-select stand-ins
    std::string kdcDir;        // start-kdc.sh, stop-kdc.sh
    std::string libhdfs;       // the libhdfs.so stand-in
    std::string dxjarsDir;     // REST service jars and property templates
    std::string templatesDir;  // the library's own templates (dxhadoopnativelog4j.properties)
};
// Finds them next to an installed tool (<prefix>/share/hdfsagent) or in the build tree the tool
// was built in. False with the places looked at in `error` when a piece is missing.
bool FindLocalcluster(LocalclusterPieces& pieces, std::string& error);

// The running program's own path (/proc/self/exe resolved).
std::string ExecutablePath();

}  // namespace tool
