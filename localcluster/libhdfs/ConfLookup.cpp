// hdfsConfGetStr / hdfsConfGetInt: a fresh configuration per call, as the real library builds a new
// Java Configuration each time.
#include <cstdlib>
#include <cstring>

#include "Errors.h"
#include "Operations.h"

namespace localhdfs {

namespace {

bool LoadFresh(Config& conf) {
    std::string error;
    if (conf.Load(error))
        return true;
    FailInternal("java.lang.RuntimeException: " + error);
    return false;
}

}  // namespace

int ConfGetStr(const char* key, char** value) {
    if (!key || !value)
        return FailInvalid("null key or value pointer");
    Config conf;
    if (!LoadFresh(conf))
        return -1;
    std::optional<std::string> found = conf.Get(key);
    if (!found) {
        *value = nullptr;
        return 0;
    }
    char* copy = strdup(found->c_str());
    if (!copy)
        throw std::bad_alloc();
    *value = copy;
    return 0;
}

int ConfGetInt(const char* key, int32_t* value) {
    if (!key || !value)
        return FailInvalid("null key or value pointer");
    Config conf;
    if (!LoadFresh(conf))
        return -1;
    std::string error;
    return conf.GetInt(key, *value, error) ? 0 : Fail(EINTERNAL, error);
}

}  // namespace localhdfs
