#include "hadoop/HadoopCtx.h"

CHadoopCtx::CHadoopCtx() = default;

boost::shared_ptr<CHadoopCtx> CHadoopCtx::GetInstance() {
    static boost::shared_ptr<CHadoopCtx> s_pInstance(new CHadoopCtx);
    return s_pInstance;
}

CHadoopFSPtr CHadoopCtx::GetHadoopFSInstance() {
    return m_pHadoopFS;
}
