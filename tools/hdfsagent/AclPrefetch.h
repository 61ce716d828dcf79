// ACL and extended attribute reads ahead of the copy threads. The walk announces each path it
// hands to the copy threads (Expect, in walk order); a copy thread that needs a path's answer
// (Take) finds it fetched already, or fetches it together with the announced paths after it in
// one getaclbatch exchange through its own client. A thread whose answer is ready fetches the
// next batch when enough paths wait, so the service works ahead of the copy instead of one
// exchange per path.
//
// Memory: one slot per announced path until its answer is taken or forgotten; the backup's
// window bounds how many paths are announced and not yet done.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "hadoop/HadoopRestUtil.h"

namespace tool {

class CAclPrefetch {
  public:
    // Paths per exchange, and exchanges that may run at once.
    explicit CAclPrefetch(size_t batchPaths = 64, unsigned maxFetches = 2)
        : m_nBatchPaths(batchPaths), m_nMaxFetches(maxFetches) {}

    // Announces a path whose answer a copy thread will take (or forget). Paths that are not
    // UTF-8 are not announced: the service cannot name them.
    void Expect(const std::string& path);
    // A path announced but whose answer will not be taken (it vanished before).
    void Forget(const std::string& path);
    // False when `path` was not announced (the caller asks for it alone). Otherwise true, with
    // either `answer` (status and body as the service gave them for this path) or, when the
    // exchange that was to bring it failed as a whole, that failure in `failure`.
    bool Take(const std::string& path, DXHadoop::CHadoopRestUtil& client,
              DXHadoop::AclAndXattrAnswer& answer, CEkError& failure);

  private:
    enum class State { kQueued, kFetching, kReady };
    struct Slot {
        State state = State::kQueued;
        bool forgotten = false;  // forgotten while being fetched: dropped when filed
        DXHadoop::AclAndXattrAnswer answer;
        CEkError failure;
    };

    // Under m_oLock: the next announced paths, marked as being fetched.
    std::vector<std::string> NextBatch();
    // Fetches `paths` through `client` (m_oLock not held) and files the answers.
    void Fetch(const std::vector<std::string>& paths, DXHadoop::CHadoopRestUtil& client);
    // Under m_oLock: a ready slot's answer moved out and the slot removed.
    void TakeReady(std::unordered_map<std::string, Slot>::iterator slot,
                   DXHadoop::AclAndXattrAnswer& answer, CEkError& failure);
    // Under m_oLock: whether a thread that has its answer should fetch ahead for the others.
    bool ShouldFetchAhead() const;

    const size_t m_nBatchPaths;
    const unsigned m_nMaxFetches;
    std::mutex m_oLock;
    std::condition_variable m_oFetched;  // a batch's answers were filed
    // Guarded by m_oLock: every announced path's slot, the announced paths no exchange has
    // taken yet (walk order; forgotten ones are skipped when met), exchanges running.
    std::unordered_map<std::string, Slot> m_mSlots;
    std::deque<std::string> m_dqQueued;
    unsigned m_nFetches = 0;
};

}  // namespace tool
