// Loading the instance configuration (CHadoopInstance::Load) and the process-wide instance
// registry (CHadoopInstanceCtx).
#include "hadoop/HadoopInstance.h"

#include <list>
#include <optional>
#include <string>

#include "host/Log.h"
#include "host/Message.h"
#include "host/Settings.h"

namespace {

const int kOperationFailed = 1627;
const char kAgentSection[] = "FileSystemAgent";
const char kLibPathSetting[] = "HDP_LIB_PATH";
const char kFetchFailed[] = "Failed to fetch Hadoop Config from server";

// Layout identifiers of the server's Hadoop configuration message (host/Message.h).
const int kHadoopConfigApplication = 30;
const int kHadoopConfigMessage = 562;
const unsigned long kConfigLayout = 519790567;
const unsigned long kEntryLayout = 505061676;
const int64_t kSelectedEntry = 1;

// The first entry whose selector is 1; none when no entry qualifies.
std::optional<CNMessageBase> SelectEntry(const CNMessageBase& message) {
    std::list<CNMessageBase> entries = message.getlistobject(1, 1, kConfigLayout, 13622503, false);
    for (const CNMessageBase& entry : entries) {
        if (entry.getint64(1, kEntryLayout, 4122401) == kSelectedEntry)
            return entry;
    }
    return std::nullopt;
}

// "HDP_LIB_PATH" holds "<libhdfs dir>:<libjvm dir>", split at the last colon (a directory may
// itself hold a colon). Without a colon neither part is usable.
void SplitLibPathPair(const std::string& saved, std::string& nativeLibPath,
                      std::string& jvmLibPath) {
    nativeLibPath.clear();
    jvmLibPath.clear();
    size_t colon = saved.rfind(':');
    if (colon == std::string::npos)
        return;
    nativeLibPath = saved.substr(0, colon);
    jvmLibPath = saved.substr(colon + 1);
}

}  // namespace

CEkError CHadoopInstance::Load(unsigned long instanceId) {
    if (m_bLoaded)
        return CEkError();
    std::string configText;
    // A message that cannot be read leaves the text empty, which the parse below reports; the
    // reader has logged why.
    (void)HadoopInstance(instanceId).getHadoopConfig(configText, nullptr);
    DXLOG(0, "HadoopConfig - '%s'", configText.c_str());
    CEkError error = Load(configText);
    if (error.Failed())
        return error.Push(FX_LOCATION);
    return CEkError();
}

CEkError CHadoopInstance::Load(const std::string& configText) {
    if (m_bLoaded)
        return CEkError();

    CNMessageBase message(kHadoopConfigApplication, kHadoopConfigMessage);
    if (message.unserialize(configText) != 0) {
        DXLOG(-1, "App::HadoopConfig::unserialize failed , cannot run Hadoop backup");
        DXLOG(-1, "Configuration message: %s", message.GetLastError().c_str());
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed, kFetchFailed);
    }
    std::optional<CNMessageBase> entry = SelectEntry(message);
    if (!entry) {
        DXLOG(-1, "Hadoop config info not found, cannot run Hadoop backup");
        return FXErrorUtil::ErrorWin32(FX_LOCATION, kOperationFailed, kFetchFailed);
    }
    m_sConfigField2 = entry->getstring(2, 2, kEntryLayout, 15640593);
    m_sConfigField4 = entry->getstring(4, 7, kEntryLayout, 16031284);
    m_sHadoopNativeLibPath = entry->getstring(8, 14, kEntryLayout, 7992298);
    m_sJvmLibPath = entry->getstring(9, 18, kEntryLayout, 15033449);

    // The setting is read only when the server left a directory out; otherwise it counts as
    // empty, so the server's pair is always written back.
    std::string saved;
    if (m_sHadoopNativeLibPath.empty() || m_sJvmLibPath.empty()) {
        DXPlatformInfo::getString(kAgentSection, kLibPathSetting, saved);
        std::string savedNativeLibPath, savedJvmLibPath;
        SplitLibPathPair(saved, savedNativeLibPath, savedJvmLibPath);
        if (m_sHadoopNativeLibPath.empty()) {
            if (!savedNativeLibPath.empty()) {
                m_sHadoopNativeLibPath = savedNativeLibPath;
            } else {
                CEkError error = DetectLibHdfsPath(m_sHadoopNativeLibPath);
                if (error.Failed())
                    return error.Push(FX_LOCATION);
            }
        }
        if (m_sJvmLibPath.empty()) {
            if (!savedJvmLibPath.empty()) {
                m_sJvmLibPath = savedJvmLibPath;
            } else {
                CEkError error = DetectJavaLibPath(m_sJvmLibPath);
                if (error.Failed())
                    return error.Push(FX_LOCATION);
            }
        }
    }
    DXLOG(0, "Hadoop native lib path='%s'", m_sHadoopNativeLibPath.c_str());
    DXLOG(0, "JVM lib path='%s'", m_sJvmLibPath.c_str());

    // Saving the pair spares the next process the detection; failing to save costs only that.
    std::string pair = m_sHadoopNativeLibPath + ":" + m_sJvmLibPath;
    if (pair != saved &&
        DXPlatformInfo::setString(kAgentSection, kLibPathSetting, pair, pair.size()).Failed()) {
        DXLOG(-1, "Failed to set HDP_LIB_PATH with value '%s' under %s section of registry",
              pair.c_str(), kAgentSection);
    }
    m_bLoaded = true;
    return CEkError();
}

// ---------------------------------------------------------------------------------------------

boost::shared_ptr<CHadoopInstanceCtx> CHadoopInstanceCtx::GetInstance() {
    static boost::shared_ptr<CHadoopInstanceCtx> s_pInstance(new CHadoopInstanceCtx);
    return s_pInstance;
}

CHadoopInstanceCtx::CHadoopInstanceCtx() = default;

CHadoopInstanceCtx::~CHadoopInstanceCtx() {
    ReleaseHDPInstance();
}

namespace {

// Hands out the instance `held`; when there is none, holds a new one and loads it with `load`
// first. A failed load empties `held` again (the half-filled instance goes with it), so the next
// request starts afresh, and leaves *instance untouched.
template <typename LoadFunction>
CEkError HandOut(CHadoopInstancePtr& held, CHadoopInstancePtr* instance, LoadFunction load) {
    if (!held) {
        held.reset(new CHadoopInstance);
        CEkError error = load(*held);
        if (error.Failed()) {
            held.reset();
            return error;
        }
    }
    if (instance != nullptr)
        *instance = held;
    return CEkError();
}

}  // namespace

CEkError CHadoopInstanceCtx::CreateHDPInstance(unsigned long instanceId,
                                               CHadoopInstancePtr* instance) {
    CEkError error = HandOut(m_pHadoopInstance, instance,
                             [instanceId](CHadoopInstance& i) { return i.Load(instanceId); });
    return error.Push(FX_LOCATION);
}

CEkError CHadoopInstanceCtx::CreateHDPInstance(unsigned long, CHadoopInstancePtr* instance,
                                               const std::string& configText) {
    CEkError error = HandOut(m_pHadoopInstance, instance,
                             [&configText](CHadoopInstance& i) { return i.Load(configText); });
    return error.Push(FX_LOCATION);
}

CHadoopInstancePtr CHadoopInstanceCtx::GetHDPInstance() {
    return m_pHadoopInstance;
}

void CHadoopInstanceCtx::ReleaseHDPInstance() {
    m_pHadoopInstance.reset();
}
