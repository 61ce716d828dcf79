// Batched ACL reads ahead of the copy threads (see AclPrefetch.h).
#include "AclPrefetch.h"

#include <exception>

#include "Paths.h"

namespace tool {

void CAclPrefetch::Expect(const std::string& path) {
    if (!IsValidUtf8(path))
        return;
    std::lock_guard<std::mutex> guard(m_oLock);
    if (m_mSlots.emplace(path, Slot()).second)
        m_dqQueued.push_back(path);
}

void CAclPrefetch::Forget(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_oLock);
    auto slot = m_mSlots.find(path);
    if (slot == m_mSlots.end())
        return;
    // A slot being fetched is dropped when its answer comes.
    if (slot->second.state == State::kFetching)
        slot->second.forgotten = true;
    else
        m_mSlots.erase(slot);
}

bool CAclPrefetch::Take(const std::string& path, DXHadoop::CHadoopRestUtil& client,
                        DXHadoop::AclAndXattrAnswer& answer, CEkError& failure) {
    std::unique_lock<std::mutex> lock(m_oLock);
    for (;;) {
        auto slot = m_mSlots.find(path);
        if (slot == m_mSlots.end())
            return false;
        if (slot->second.state == State::kReady) {
            TakeReady(slot, answer, failure);
            if (!ShouldFetchAhead())
                return true;
            std::vector<std::string> ahead = NextBatch();
            lock.unlock();
            Fetch(ahead, client);
            return true;
        }
        if (slot->second.state == State::kFetching) {
            m_oFetched.wait(lock);
            continue;
        }
        std::vector<std::string> batch = NextBatch();
        lock.unlock();
        Fetch(batch, client);
        lock.lock();
    }
}

void CAclPrefetch::TakeReady(std::unordered_map<std::string, Slot>::iterator slot,
                             DXHadoop::AclAndXattrAnswer& answer, CEkError& failure) {
    answer = std::move(slot->second.answer);
    failure = slot->second.failure;
    m_mSlots.erase(slot);
}

bool CAclPrefetch::ShouldFetchAhead() const {
    return m_dqQueued.size() >= m_nBatchPaths && m_nFetches < m_nMaxFetches;
}

std::vector<std::string> CAclPrefetch::NextBatch() {
    std::vector<std::string> batch;
    while (batch.size() < m_nBatchPaths && !m_dqQueued.empty()) {
        auto slot = m_mSlots.find(m_dqQueued.front());
        if (slot != m_mSlots.end() && slot->second.state == State::kQueued) {
            slot->second.state = State::kFetching;
            batch.push_back(m_dqQueued.front());
        }
        m_dqQueued.pop_front();
    }
    ++m_nFetches;
    return batch;
}

void CAclPrefetch::Fetch(const std::vector<std::string>& paths, DXHadoop::CHadoopRestUtil& client) {
    std::vector<DXHadoop::AclAndXattrAnswer> answers;
    CEkError failure;
    try {
        failure = GetACLandXattrBatch(&client, paths, answers);
    } catch (const std::exception& e) {
        failure = FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "getaclbatch failed: %s", e.what());
    }
    {
        std::lock_guard<std::mutex> guard(m_oLock);
        // Every path of the batch leaves the fetching state, answered or failed, so that no
        // thread waits for it forever.
        for (size_t i = 0; i < paths.size(); ++i) {
            auto found = m_mSlots.find(paths[i]);
            if (found == m_mSlots.end())
                continue;
            if (found->second.forgotten) {
                m_mSlots.erase(found);
                continue;
            }
            Slot& slot = found->second;
            slot.state = State::kReady;
            if (failure.Failed() || i >= answers.size())
                slot.failure = failure;
            else
                slot.answer = std::move(answers[i]);
        }
        --m_nFetches;
    }
    m_oFetched.notify_all();
}

}  // namespace tool
