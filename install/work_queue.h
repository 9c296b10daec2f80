// The one queue of the page's long work: the download lists and items the
// page starts and the self-update. Jobs run one at a time, in the order they
// came, on one worker thread that the queue owns: it starts when work arrives
// and ends when the queue is empty, so two jobs never fetch at once and the
// page's thread never runs or waits for one.
//
// Threads: Enqueue on any thread (the page's, or a job re-queuing itself);
// jobs on the worker, inside a COM apartment and under the worker guard.
#pragma once

#include "common/handles.h"
#include "common/trace_sink.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

class WorkQueue {
public:
    struct Job {
        std::wstring name;               // for the trace line of a job that fails
        std::function<void()> run;       // runs on the worker
        std::function<void()> onFailure; // when `run` threw: tells the page
    };

    explicit WorkQueue(const TraceSink& trace);
    // Close() (see there).
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    // Queues the job; false (and nothing queued) when no worker could be started.
    [[nodiscard]] bool Enqueue(Job job);
    // Jobs queued and not begun.
    size_t Waiting() const;
    // Nothing queued and nothing in work.
    bool Idle() const;
    // Tests only: blocks until Idle.
    void WaitUntilIdle() const;
    // Takes no more jobs, drops those not begun and waits for the one in
    // work, so its owner may go. In the control this never waits: a running
    // worker keeps the module, and so the queue, alive.
    void Close();

private:
    void RunJobs();

    const TraceSink& trace_;
    mutable std::mutex lock_; // the fields below
    mutable std::condition_variable changed_;
    std::deque<Job> jobs_;
    bool workerRunning_ = false; // a worker owns the queue until it finds it empty
    bool inWork_ = false;
    bool closing_ = false;
    KernelHandle worker_; // the last worker started
};
