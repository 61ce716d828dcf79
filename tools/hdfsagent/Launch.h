// libhdfs.so is opened by its bare name, and the library links it into the product home: the
// home must be on the loader's search path, which the loader reads only when a process starts.
// EnsureLoaderPath therefore re-executes the tool once with LD_LIBRARY_PATH starting with the
// product home (and HDFSAGENT_HOME set), before anything binds libhdfs.
#pragma once

namespace tool {

// Returns when the loader path already holds the product home; otherwise execs the program
// again with the same arguments (and returns only if that fails, after saying so).
void EnsureLoaderPath(char** argv);

}  // namespace tool
