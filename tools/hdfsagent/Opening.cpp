#include "Opening.h"

namespace tool {

int OpenCluster(CCluster& cluster, const ConnectOptions& connect, const ClusterOpening& opening,
                CReporter& reporter) {
    std::string error;
    if (!cluster.Connect(connect, error)) {
        reporter.Fatal("cannot connect to HDFS: " + error);
        return kExitFatal;
    }
    if (opening.afterConnect && !opening.afterConnect(error)) {
        reporter.Fatal(error);
        return kExitFatal;
    }
    if (opening.rest && !cluster.StartRest(error)) {
        reporter.Fatal(error + opening.noAclHint);
        return kExitFatal;
    }
    if (opening.afterRest && !opening.afterRest(error)) {
        reporter.Fatal(error);
        return kExitFatal;
    }
    if (!cluster.LoadZones(error))
        reporter.Warning(error + opening.zonesWarning);
    return kExitOk;
}

bool MakeWorkers(CCluster& cluster, unsigned count, std::vector<std::unique_ptr<Worker>>& workers,
                 std::string& error) {
    for (unsigned i = 0; i < count; ++i) {
        std::unique_ptr<Worker> worker(new Worker);
        worker->buffer.resize(kBlockBytes);
        if (cluster.HasRest()) {
            worker->rest = cluster.NewRestClient(error);
            if (!worker->rest)
                return false;
        }
        workers.push_back(std::move(worker));
    }
    return true;
}

}  // namespace tool
