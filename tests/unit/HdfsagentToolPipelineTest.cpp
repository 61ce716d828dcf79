// The ordered, bounded pipeline: jobs are written in submission order whatever order they finish
// in, the submitter waits at the window and goes on only after a batch has finished, a stop
// ends the work and the writing, and the pipeline ends cleanly with jobs left in it.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Pipeline.h"

namespace tool {
namespace {

struct Job {
    int index = 0;
};

// A condition the test opens and the workers wait for.
class CGate {
  public:
    void Open() {
        std::lock_guard<std::mutex> guard(m_oLock);
        m_bOpen = true;
        m_oChanged.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(m_oLock);
        m_oChanged.wait(lock, [this] { return m_bOpen; });
    }

  private:
    std::mutex m_oLock;
    std::condition_variable m_oChanged;
    bool m_bOpen = false;
};

// A count that can be awaited.
class CCounter {
  public:
    void Add() {
        std::lock_guard<std::mutex> guard(m_oLock);
        ++m_nCount;
        m_oChanged.notify_all();
    }
    void WaitFor(int count) {
        std::unique_lock<std::mutex> lock(m_oLock);
        m_oChanged.wait(lock, [&] { return m_nCount >= count; });
    }
    int Get() {
        std::lock_guard<std::mutex> guard(m_oLock);
        return m_nCount;
    }

  private:
    std::mutex m_oLock;
    std::condition_variable m_oChanged;
    int m_nCount = 0;
};

std::unique_ptr<Job> MakeJob(int index) {
    std::unique_ptr<Job> job(new Job);
    job->index = index;
    return job;
}

std::vector<int> Sequence(int count) {
    std::vector<int> sequence;
    for (int i = 0; i < count; ++i)
        sequence.push_back(i);
    return sequence;
}

class PipelineOrder : public ::testing::TestWithParam<unsigned> {};

// The first job finishes last; every other job overtakes it. The writer still sees 0, 1, 2, …
TEST_P(PipelineOrder, WritesInSubmissionOrderWhenTheFirstJobFinishesLast) {
    const int kJobs = 50;
    CCounter others;
    std::mutex lock;
    std::vector<int> finished;
    std::vector<int> written;
    PipelineOptions options;
    options.window = 64;
    COrderedPipeline<Job> pipeline(
        [&](Job& job, unsigned) {
            if (job.index == 0 && GetParam() > 1)
                others.WaitFor(kJobs - 1);
            std::lock_guard<std::mutex> guard(lock);
            finished.push_back(job.index);
            if (job.index != 0)
                others.Add();
        },
        [&](Job& job) { written.push_back(job.index); }, options);
    pipeline.Start(GetParam());
    for (int i = 0; i < kJobs; ++i) {
        ASSERT_TRUE(pipeline.Submit(MakeJob(i)));
    }
    ASSERT_TRUE(pipeline.Drain());
    pipeline.Close();
    EXPECT_EQ(Sequence(kJobs), written);
    ASSERT_EQ(static_cast<size_t>(kJobs), finished.size());
    if (GetParam() > 1) {
        EXPECT_EQ(0, finished.back());
    }
}

// Jobs that need no worker (decided by the submitter) keep their turn among those that do.
TEST_P(PipelineOrder, JobsWithoutWorkAreWrittenInTheirTurn) {
    const int kJobs = 1000;
    std::vector<int> written;
    std::atomic<int> worked{0};
    PipelineOptions options;
    options.window = 8;
    options.resumeAfter = 3;
    options.wakeBatch = 2;
    COrderedPipeline<Job> pipeline([&](Job&, unsigned) { ++worked; },
                                   [&](Job& job) { written.push_back(job.index); }, options);
    pipeline.Start(GetParam());
    for (int i = 0; i < kJobs; ++i) {
        ASSERT_TRUE(pipeline.Submit(MakeJob(i), i % 3 != 0));
    }
    ASSERT_TRUE(pipeline.Drain());
    pipeline.Close();
    EXPECT_EQ(Sequence(kJobs), written);
    EXPECT_EQ(kJobs - (kJobs + 2) / 3, worked.load());
}

INSTANTIATE_TEST_SUITE_P(Threads, PipelineOrder, ::testing::Values(1u, 2u, 8u));

// With every job held, the submitter stops at the window; it goes on only once `resumeAfter`
// jobs at the front have finished, and then writes them together.
TEST(PipelineBackPressure, SubmitterWaitsAtTheWindowAndResumesAfterABatch) {
    const int kJobs = 12;
    std::vector<std::unique_ptr<CGate>> gates;
    for (int i = 0; i < kJobs; ++i)
        gates.emplace_back(new CGate);
    CCounter waits;
    std::vector<size_t> inFlightAtWait;
    std::atomic<int> submitted{0};
    std::atomic<int> worked{0};
    std::vector<int> workedAtWrite;
    std::vector<int> written;
    PipelineOptions options;
    options.window = 8;
    options.resumeAfter = 4;
    options.wakeBatch = 1;
    options.onSubmitterWaits = [&](size_t inFlight) {
        inFlightAtWait.push_back(inFlight);
        waits.Add();
    };
    COrderedPipeline<Job> pipeline(
        [&](Job& job, unsigned) {
            gates[static_cast<size_t>(job.index)]->Wait();
            ++worked;
        },
        [&](Job& job) {
            workedAtWrite.push_back(worked.load());
            written.push_back(job.index);
        },
        options);
    pipeline.Start(2);
    std::thread submitter([&] {
        for (int i = 0; i < kJobs; ++i) {
            pipeline.Submit(MakeJob(i));
            ++submitted;
        }
    });
    waits.WaitFor(1);
    // The eighth job is in; its Submit waits.
    EXPECT_EQ(7, submitted.load());
    EXPECT_EQ(std::vector<size_t>{8}, inFlightAtWait);
    EXPECT_TRUE(written.empty());
    for (int i = 0; i < 4; ++i)
        gates[static_cast<size_t>(i)]->Open();
    // Four finished: the submitter writes them at once and fills the window again.
    waits.WaitFor(2);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), written);
    EXPECT_EQ((std::vector<int>{4, 4, 4, 4}), workedAtWrite);
    EXPECT_EQ(11, submitted.load());
    EXPECT_EQ((std::vector<size_t>{8, 8}), inFlightAtWait);
    for (int i = 4; i < kJobs; ++i)
        gates[static_cast<size_t>(i)]->Open();
    submitter.join();
    EXPECT_TRUE(pipeline.Drain());
    EXPECT_EQ(Sequence(kJobs), written);
}

// A job that finds a fatal problem stops the pipeline: nothing from it on is written, Submit and
// Drain say so, and the jobs not yet started are skipped.
TEST(PipelineStop, FatalJobStopsTheWorkAndTheWriting) {
    const int kJobs = 300;
    std::atomic<int> worked{0};
    std::vector<int> written;
    COrderedPipeline<Job>* self = nullptr;
    PipelineOptions options;
    options.window = 32;
    COrderedPipeline<Job> pipeline(
        [&](Job& job, unsigned) {
            ++worked;
            if (job.index == 5)
                self->Stop();
        },
        [&](Job& job) { written.push_back(job.index); }, options);
    self = &pipeline;
    pipeline.Start(4);
    int accepted = 0;
    while (accepted < kJobs && pipeline.Submit(MakeJob(accepted)))
        ++accepted;
    EXPECT_LT(accepted, kJobs);
    EXPECT_FALSE(pipeline.Drain());
    EXPECT_TRUE(pipeline.Stopped());
    pipeline.Close();
    ASSERT_LE(written.size(), 5u);
    EXPECT_EQ(Sequence(static_cast<int>(written.size())), written);
    EXPECT_LT(worked.load(), kJobs);
}

// A condition outside the pipeline (an interruption) stops it as Stop() does, also while the
// submitter waits at the window.
TEST(PipelineStop, StopConditionWakesAWaitingSubmitter) {
    std::atomic<bool> interrupted{false};
    CGate gate;
    std::vector<int> written;
    PipelineOptions options;
    options.window = 4;
    options.resumeAfter = 4;
    options.stopWhen = [&] { return interrupted.load(); };
    // The first job goes on only once the submitter waits for it.
    options.onSubmitterWaits = [&](size_t) { gate.Open(); };
    COrderedPipeline<Job> pipeline(
        [&](Job& job, unsigned) {
            if (job.index == 0) {
                gate.Wait();
                interrupted = true;
            }
        },
        [&](Job& job) { written.push_back(job.index); }, options);
    pipeline.Start(2);
    bool accepted = true;
    for (int i = 0; i < 100 && accepted; ++i)
        accepted = pipeline.Submit(MakeJob(i));
    EXPECT_FALSE(accepted);
    EXPECT_FALSE(pipeline.Drain());
    EXPECT_TRUE(written.empty());
}

// Destroyed with a job running and others waiting: the running one ends, the waiting ones are
// never started, and every thread is joined.
TEST(PipelineShutdown, DestroyingWithJobsLeftSkipsThemAndJoinsTheWorkers) {
    CGate gate;
    CCounter started;
    std::atomic<int> worked{0};
    std::atomic<int> written{0};
    {
        PipelineOptions options;
        options.wakeBatch = 1;
        COrderedPipeline<Job> pipeline(
            [&](Job& job, unsigned) {
                ++worked;
                if (job.index == 0) {
                    started.Add();
                    gate.Wait();
                }
            },
            [&](Job&) { ++written; }, options);
        pipeline.Start(1);
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(pipeline.Submit(MakeJob(i)));
        }
        started.WaitFor(1);
        pipeline.Stop();
        gate.Open();
    }
    EXPECT_EQ(1, worked.load());
    EXPECT_EQ(0, written.load());
}

TEST(PipelineShutdown, DrainWithoutJobsSucceeds) {
    COrderedPipeline<Job> pipeline([](Job&, unsigned) {}, [](Job&) {});
    pipeline.Start(3);
    EXPECT_TRUE(pipeline.Drain());
    pipeline.Close();
    EXPECT_FALSE(pipeline.Stopped());
}

}  // namespace
}  // namespace tool
