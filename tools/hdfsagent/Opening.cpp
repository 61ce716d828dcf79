#include "Opening.h"

#include <future>

namespace tool {

namespace {

struct ZoneListing {
    bool loaded = false;
    std::string error;
};

ZoneListing ListZones(CCluster& cluster) {
    ZoneListing listing;
    listing.loaded = cluster.LoadZones(listing.error);
    return listing;
}

// The REST service and the command's steps after it. False with the error reported as fatal.
bool OpenServices(CCluster& cluster, const ClusterOpening& opening, CReporter& reporter) {
    std::string error;
    if (opening.rest && !cluster.StartRest(error)) {
        reporter.Fatal(error + opening.noAclHint);
        return false;
    }
    if (opening.afterRest && !opening.afterRest(error)) {
        reporter.Fatal(error);
        return false;
    }
    return true;
}

}  // namespace

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
    // Listing the zones and starting the REST service each start a JVM and wait seconds for it:
    // the listing runs beside the service's start. (The future waits for it on every path.)
    std::future<ZoneListing> zones =
        std::async(opening.rest ? std::launch::async : std::launch::deferred,
                   [&cluster] { return ListZones(cluster); });
    if (!OpenServices(cluster, opening, reporter))
        return kExitFatal;
    const ZoneListing listing = zones.get();
    if (!listing.loaded)
        reporter.Warning(listing.error + opening.zonesWarning);
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
