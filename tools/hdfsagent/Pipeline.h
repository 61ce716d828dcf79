// An ordered, bounded pipeline: one thread (the submitter) hands jobs in, worker threads run them
// in any order, and the submitter hands every finished job to the writer strictly in the order it
// submitted them. At most a window of jobs is between submission and writing, so memory stays
// bounded however many jobs go through. Backup, restore and verify run their files through it:
// the walk or the manifest decides the order, the workers copy and hash, and the manifest or the
// report is written in that order whatever order the copies finish in.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "host/Mutex.h"

namespace tool {

struct PipelineOptions {
    // Jobs between submission and writing at most.
    size_t window = 256;
    // Once the window is full, the submitter waits for this many finished jobs (or for the
    // workers to run out of work) before it goes on, so that it and the workers do not wake each
    // other for every job.
    size_t resumeAfter = 64;
    // Waking a thread costs more than a small job, so idle workers are woken when this many jobs
    // wait for them, or when the submitter itself is about to wait.
    size_t wakeBatch = 16;
    // A condition outside the pipeline that stops it as Stop() does (an interruption, say);
    // checked between jobs and whenever the submitter may wait. Empty: none.
    std::function<bool()> stopWhen;
    // Called with the number of jobs in flight each time the submitter begins to wait, with the
    // pipeline's lock held (it must not call the pipeline). For tests.
    std::function<void(size_t inFlight)> onSubmitterWaits;
};

template <typename Job>
class COrderedPipeline {
  public:
    // Runs on a worker thread; `worker` (0 … threads-1) selects that thread's own resources.
    typedef std::function<void(Job& job, unsigned worker)> Work;
    // Runs on the submitting thread, in submission order, for every job while not stopped.
    typedef std::function<void(Job& job)> Write;

    COrderedPipeline(Work work, Write write, PipelineOptions options = PipelineOptions())
        : m_fnWork(std::move(work)), m_fnWrite(std::move(write)), m_oOptions(std::move(options)) {}
    // Abandons what is left: stops, then waits for the workers.
    ~COrderedPipeline() {
        Stop();
        Close();
    }
    COrderedPipeline(const COrderedPipeline&) = delete;
    COrderedPipeline& operator=(const COrderedPipeline&) = delete;

    // Starts `threads` workers (at least one).
    void Start(unsigned threads) {
        for (unsigned i = 0; i < (threads == 0 ? 1 : threads); ++i)
            m_vThreads.emplace_back([this, i] { WorkerLoop(i); });
    }

    // Queues `job` for a worker (or, with `work` false, as finished already: it is only written
    // in its turn), then writes the finished jobs at the front, waiting while the window is
    // full. False once the pipeline is stopped.
    bool Submit(std::unique_ptr<Job> job, bool work = true) EXCLUDES(m_oLock) {
        bool wake = false;
        {
            hdfsagent::MutexLock guard(m_oLock);
            m_dqInFlight.push_back(Slot{std::move(job), !work});
            if (work)
                m_dqPending.push_back(&m_dqInFlight.back());
            else
                ++m_nFinished;
            wake = m_nIdleWorkers > 0 && m_dqPending.size() >= m_oOptions.wakeBatch;
        }
        if (wake)
            m_oWork.Signal();
        return WriteFinished(false);
    }

    // Waits for every submitted job and writes it. False when the pipeline was stopped.
    bool Drain() EXCLUDES(m_oLock) { return WriteFinished(true); }

    // No job is started or written any more; Submit and Drain return false. Any thread.
    void Stop() EXCLUDES(m_oLock) {
        m_bStop = true;
        hdfsagent::MutexLock guard(m_oLock);
        m_oDone.SignalAll();
    }

    bool Stopped() const {
        return m_bStop.load() || (m_oOptions.stopWhen && m_oOptions.stopWhen());
    }

    // Lets the workers end once no job waits for them, and waits for them.
    void Close() EXCLUDES(m_oLock) {
        {
            hdfsagent::MutexLock guard(m_oLock);
            m_bClosed = true;
        }
        m_oWork.SignalAll();
        for (std::thread& thread : m_vThreads)
            if (thread.joinable())
                thread.join();
    }

  private:
    struct Slot {
        std::unique_ptr<Job> job;
        bool done;
    };

    void WorkerLoop(unsigned worker) EXCLUDES(m_oLock) {
        for (;;) {
            Slot* slot = nullptr;
            {
                hdfsagent::MutexLock lock(m_oLock);
                ++m_nIdleWorkers;
                while (!m_bClosed && m_dqPending.empty())
                    m_oWork.Wait(m_oLock);
                --m_nIdleWorkers;
                if (m_dqPending.empty())
                    return;
                slot = m_dqPending.front();
                m_dqPending.pop_front();
            }
            // The slot is this thread's until it is marked done: the submitter takes only
            // finished slots, and a deque keeps its elements in place when others come and go
            // at its ends.
            if (!Stopped())
                m_fnWork(*slot->job, worker);
            bool wake = false;
            {
                hdfsagent::MutexLock guard(m_oLock);
                slot->done = true;
                ++m_nFinished;
                wake = m_bSubmitterWaits && SubmitterMayGoOn();
            }
            if (wake)
                m_oDone.Signal();
        }
    }

    // Whether the submitter, waiting in WriteFinished, has something to do.
    bool SubmitterMayGoOn() const REQUIRES(m_oLock) {
        if (m_dqInFlight.empty() || Stopped())
            return true;
        if (!m_dqInFlight.front().done)
            return false;
        return m_bDraining || m_nFinished >= m_oOptions.resumeAfter || m_dqPending.empty();
    }

    // Writes the finished jobs at the front; with `all`, waits for every job first.
    bool WriteFinished(bool all) EXCLUDES(m_oLock) {
        for (;;) {
            std::unique_ptr<Job> job;
            {
                hdfsagent::MutexLock lock(m_oLock);
                m_bDraining = all;
                if (all || m_dqInFlight.size() >= m_oOptions.window)
                    WaitForFront();
                if (m_dqInFlight.empty() || !m_dqInFlight.front().done)
                    return !Stopped();
                job = std::move(m_dqInFlight.front().job);
                m_dqInFlight.pop_front();
                --m_nFinished;
            }
            if (!Stopped())
                m_fnWrite(*job);
        }
    }

    // Wakes idle workers for the jobs that wait, then waits until the submitter may go on.
    void WaitForFront() REQUIRES(m_oLock) {
        if (m_nIdleWorkers > 0 && !m_dqPending.empty())
            m_oWork.SignalAll();
        if (m_oOptions.onSubmitterWaits)
            m_oOptions.onSubmitterWaits(m_dqInFlight.size());
        m_bSubmitterWaits = true;
        while (!SubmitterMayGoOn())
            m_oDone.Wait(m_oLock);
        m_bSubmitterWaits = false;
    }

    const Work m_fnWork;
    const Write m_fnWrite;
    const PipelineOptions m_oOptions;
    std::vector<std::thread> m_vThreads;
    std::atomic<bool> m_bStop{false};

    hdfsagent::Mutex m_oLock;
    hdfsagent::CondVar m_oWork;  // a job to take, or the end
    hdfsagent::CondVar m_oDone;  // a job finished, or the pipeline stopped
    // Every job between submission and writing, in submission order; m_dqPending those no
    // worker has taken yet. A slot's `done` is read and written under m_oLock too; its job
    // belongs to the worker that took it until `done` is set.
    std::deque<Slot> m_dqInFlight GUARDED_BY(m_oLock);
    std::deque<Slot*> m_dqPending GUARDED_BY(m_oLock);
    bool m_bClosed GUARDED_BY(m_oLock) = false;
    bool m_bSubmitterWaits GUARDED_BY(m_oLock) = false;
    bool m_bDraining GUARDED_BY(m_oLock) = false;     // every finished job is written at once
    size_t m_nFinished GUARDED_BY(m_oLock) = 0;       // finished jobs not yet written
    unsigned m_nIdleWorkers GUARDED_BY(m_oLock) = 0;  // workers waiting for a job
};

}  // namespace tool
