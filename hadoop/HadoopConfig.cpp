// Hadoop client configuration values: from libhdfs when it offers its configuration calls, else
// from the output of `hadoop org.apache.hadoop.conf.Configuration`.
#include "hadoop/HadoopConfig.h"

#include <cerrno>

#include "hadoop/HadoopBinding.h"
#include "hadoop/HadoopCommon.h"
#include "hadoop/HadoopFS.h"
#include "host/Log.h"
#include "host/Process.h"
#include "host/ShellQuote.h"

namespace {

// Frees a configuration string through libhdfs (when it offers the call) on every path.
class ConfString {
  public:
    ConfString() = default;
    ~ConfString() {
        if (func_table.hdfsConfStrFree != nullptr)
            func_table.hdfsConfStrFree(m_pText);
    }
    ConfString(const ConfString&) = delete;
    ConfString& operator=(const ConfString&) = delete;
    char** Out() { return &m_pText; }
    const char* Get() const { return m_pText; }

  private:
    char* m_pText = nullptr;
};

int ReadFromLibhdfs(const char* key, std::string& value) {
    ConfString text;
    int result = func_table.hdfsConfGetStr(key, text.Out());
    if (result == 0 && text.Get() != nullptr)
        value = text.Get();
    return result;
}

int ReadFromConfigurationCommand(const char* key, std::string& value) {
    // The program prints the whole configuration, usually on one line; grep keeps the lines that
    // mention the key and the parser takes the value of the property named exactly so.
    const std::string command = GetHadoopCommand("hadoop") +
                                " org.apache.hadoop.conf.Configuration | grep -F -e " +
                                ShellQuote(key);
    std::string out, err;
    int result = DxProcess::system(command, &out, &err);
    if (result == 0 && !out.empty()) {
        HadoopConfig::ExtractConfigurationValue(out, key, value);
        return 0;
    }
    DXLOG(0, "Failed to run command(%s). out %s, err %s", command.c_str(), out.c_str(),
          err.c_str());
    return result;
}

}  // namespace

int CHadoopFS::GetConfString(const char* key, std::string& value) {
    if (!gbLibraryInitialized) {
        errno = EFAULT;
        return -1;
    }
    value.clear();
    if (key == nullptr) {
        errno = EINVAL;
        return -1;
    }
    DXLOG(0, "Reading Hadoop config %s", key);
    int result = func_table.hdfsConfGetStr != nullptr ? ReadFromLibhdfs(key, value)
                                                      : ReadFromConfigurationCommand(key, value);
    DXLOG(0, "----- %d %s", result, value.empty() ? "N/A" : value.c_str());
    return result;
}

int CHadoopFS::GetConfInt(const char* key, int& value) {
    if (!gbLibraryInitialized) {
        errno = EFAULT;
        return -1;
    }
    if (func_table.hdfsConfGetInt == nullptr) {
        errno = ENOTSUP;
        return -1;
    }
    if (key == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // libhdfs takes the value in as the default (Configuration.getInt(key, *val)), so an absent
    // key leaves the caller's value as it was.
    int32_t result = value;
    int rc = func_table.hdfsConfGetInt(key, &result);
    if (rc == 0)
        value = result;
    return rc;
}
