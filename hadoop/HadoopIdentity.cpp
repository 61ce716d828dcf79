// User and group identity mapping of CHadoopFS: names <-> numeric IDs through the local user and
// group databases, cached for the life of the object.
//
// Each cache is guarded by its own lock, held for the whole lookup (database call included), so
// lookups through different caches or objects run at the same time; the database calls are the
// reentrant forms for that reason.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

#include "hadoop/HadoopFS.h"

namespace {

// Starting size of a database buffer when the system suggests none; doubled on ERANGE.
constexpr size_t kDefaultBufferSize = 1024;
// Upper bound for the buffer: an entry larger than this is treated as a failure.
constexpr size_t kMaxBufferSize = 1 << 20;

size_t InitialBufferSize(int sysconfName) {
    const long suggested = sysconf(sysconfName);
    return suggested > 0 ? static_cast<size_t>(suggested) : kDefaultBufferSize;
}

// Runs one reentrant lookup `call(buffer, size, &result)`, growing the buffer on ERANGE.
// Returns 0 with `result` set when found, ENOENT when there is no such entry, or the error.
template <typename Entry, typename Call>
int LookUp(int sysconfName, Entry& entry, std::vector<char>& buffer, Call call) {
    buffer.resize(InitialBufferSize(sysconfName));
    for (;;) {
        Entry* result = nullptr;
        const int error = call(&entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE && buffer.size() < kMaxBufferSize) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0)
            return error;
        return result != nullptr ? 0 : ENOENT;
    }
}

int FindUserByName(const std::string& name, passwd& entry, std::vector<char>& buffer) {
    return LookUp(_SC_GETPW_R_SIZE_MAX, entry, buffer,
                  [&](passwd* e, char* b, size_t n, passwd** r) {
                      return getpwnam_r(name.c_str(), e, b, n, r);
                  });
}

int FindUserById(uid_t uid, passwd& entry, std::vector<char>& buffer) {
    return LookUp(
        _SC_GETPW_R_SIZE_MAX, entry, buffer,
        [&](passwd* e, char* b, size_t n, passwd** r) { return getpwuid_r(uid, e, b, n, r); });
}

int FindGroupByName(const std::string& name, group& entry, std::vector<char>& buffer) {
    return LookUp(_SC_GETGR_R_SIZE_MAX, entry, buffer, [&](group* e, char* b, size_t n, group** r) {
        return getgrnam_r(name.c_str(), e, b, n, r);
    });
}

int FindGroupById(gid_t gid, group& entry, std::vector<char>& buffer) {
    return LookUp(_SC_GETGR_R_SIZE_MAX, entry, buffer, [&](group* e, char* b, size_t n, group** r) {
        return getgrgid_r(gid, e, b, n, r);
    });
}

// The name of the first cached entry (byte-wise order) whose ID is `id`.
bool FindCachedName(const std::map<std::string, unsigned int>& cache, unsigned int id,
                    std::string& name) {
    for (const auto& entry : cache) {
        if (entry.second == id) {
            name = entry.first;
            return true;
        }
    }
    return false;
}

// Runs a lookup that may allocate; nothing throws across the library's interface.
template <typename Lookup>
CEkError NoThrow(Lookup lookup) {
    try {
        return lookup();
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOMEM, "out of memory");
    }
}

}  // namespace

CEkError CHadoopFS::GetID(const std::string& name, ID& id) {
    return NoThrow([&] {
        FXMutexLock lock(m_oIDsLock);
        auto cached = m_mapIDs.find(name);
        if (cached != m_mapIDs.end()) {
            id = cached->second;
            return CEkError();
        }
        passwd entry;
        std::vector<char> buffer;
        const int error = FindUserByName(name, entry, buffer);
        if (error != 0)
            return FXErrorUtil::ErrorErrNo(FX_LOCATION, error, "Failed to get ID for user '%s'",
                                           name.c_str());
        const ID found = {entry.pw_uid, entry.pw_gid};
        m_mapIDs[name] = found;
        id = found;
        return CEkError();
    });
}

CEkError CHadoopFS::GetUserID(const std::string& name, uid_t& uid) {
    return NoThrow([&] {
        // A principal "user/instance@REALM" stands for the local user "user".
        const std::string key = name.substr(0, name.find('/'));
        // "user@REALM": a local user named by the whole text wins, else the part before "@".
        const size_t at = key.find('@');
        const std::string shortKey = at == std::string::npos ? key : key.substr(0, at);

        FXMutexLock lock(m_oUserIDsLock);
        auto cached = m_mapUserIDs.find(key);
        if (cached != m_mapUserIDs.end()) {
            uid = cached->second;
            return CEkError();
        }
        passwd entry;
        std::vector<char> buffer;
        int error = FindUserByName(key, entry, buffer);
        std::string found = key;
        if (error == ENOENT && shortKey != key) {
            cached = m_mapUserIDs.find(shortKey);
            if (cached != m_mapUserIDs.end()) {
                uid = cached->second;
                return CEkError();
            }
            error = FindUserByName(shortKey, entry, buffer);
            found = shortKey;
        }
        if (error != 0)
            return FXErrorUtil::ErrorErrNo(FX_LOCATION, error, "Failed to get ID for user '%s'",
                                           key.c_str());
        m_mapUserIDs[found] = entry.pw_uid;
        uid = entry.pw_uid;
        return CEkError();
    });
}

CEkError CHadoopFS::GetGroupID(const std::string& name, gid_t& gid) {
    return NoThrow([&] {
        FXMutexLock lock(m_oGroupIDsLock);
        auto cached = m_mapGroupIDs.find(name);
        if (cached != m_mapGroupIDs.end()) {
            gid = cached->second;
            return CEkError();
        }
        group entry;
        std::vector<char> buffer;
        const int error = FindGroupByName(name, entry, buffer);
        if (error != 0)
            return FXErrorUtil::ErrorErrNo(FX_LOCATION, error, "Failed to get ID for group '%s'",
                                           name.c_str());
        m_mapGroupIDs[name] = entry.gr_gid;
        gid = entry.gr_gid;
        return CEkError();
    });
}

CEkError CHadoopFS::GetUserName(uid_t uid, std::string& name) {
    return NoThrow([&] {
        FXMutexLock lock(m_oUserIDsLock);
        if (FindCachedName(m_mapUserIDs, uid, name))
            return CEkError();
        passwd entry;
        std::vector<char> buffer;
        const int error = FindUserById(uid, entry, buffer);
        if (error != 0)
            return FXErrorUtil::ErrorErrNo(
                FX_LOCATION, error, "Failed to get name for user ID '%d'", static_cast<int>(uid));
        m_mapUserIDs[entry.pw_name] = uid;
        name = entry.pw_name;
        return CEkError();
    });
}

CEkError CHadoopFS::GetGroupName(gid_t gid, std::string& name) {
    return NoThrow([&] {
        FXMutexLock lock(m_oGroupIDsLock);
        if (FindCachedName(m_mapGroupIDs, gid, name))
            return CEkError();
        group entry;
        std::vector<char> buffer;
        const int error = FindGroupById(gid, entry, buffer);
        if (error != 0)
            return FXErrorUtil::ErrorErrNo(
                FX_LOCATION, error, "Failed to get name for group ID '%d'", static_cast<int>(gid));
        m_mapGroupIDs[entry.gr_name] = gid;
        name = entry.gr_name;
        return CEkError();
    });
}
