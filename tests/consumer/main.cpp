// An agent of the installed library: binds libhdfs (absent here, so the binding must fail with
// the loader's reason) and edits a property file through the library. Prints one line per check
// and exits 0 only when every check holds. Usage: consumer WORK_DIR
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "hadoop/HadoopCommon.h"
#include "hadoop/HadoopCtx.h"
#include "hadoop/HadoopFS.h"

namespace {

bool Check(bool holds, const std::string& what, const std::string& detail) {
    std::printf("%s: %s%s\n", holds ? "ok" : "FAILED", what.c_str(),
                holds ? "" : (" (" + detail + ")").c_str());
    return holds;
}

bool BindingWithoutLibhdfsFails() {
    const CEkError err = CHadoopFS::Init();
    const std::string text = err.AsString();
    return Check(err.Failed() && err.Code() == ENOENT &&
                     text.find("dlopen(libhdfs.so) failed") != std::string::npos,
                 "binding without libhdfs.so fails with ENOENT and the loader's reason",
                 "code " + std::to_string(err.Code()) + ": " + text);
}

bool PropertyFileIsEdited(const std::string& workDir) {
    const std::string path = workDir + "/agent.properties";
    std::ofstream(path) << "# kept\nhadoop.log.dir=/old\n";
    const CEkError err = AddOrUpdateFieldInConfigFile(path, "hadoop.log.dir", "/new");
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    return Check(err.Succeeded() && content.str() == "# kept\nhadoop.log.dir=/new\n",
                 "a property file is edited in place", err.AsString() + " / " + content.str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer WORK_DIR\n");
        return 2;
    }
    const bool bound = BindingWithoutLibhdfsFails();
    const bool edited = PropertyFileIsEdited(argv[1]);
    const bool context = Check(CHadoopCtx::GetInstance() != nullptr,
                               "the process-wide context is reachable", "no context");
    return bound && edited && context ? 0 : 1;
}
