#include "install/work_queue.h"

#include "common/com_types.h"
#include "common/guard.h"
#include "common/text.h"
#include "common/worker_thread.h"

WorkQueue::WorkQueue(const TraceSink& trace) : trace_(trace) {}

WorkQueue::~WorkQueue() {
    Close();
}

void WorkQueue::Close() {
    std::unique_lock guard(lock_);
    closing_ = true;
    jobs_.clear();
    changed_.wait(guard, [this] { return !workerRunning_; });
}

bool WorkQueue::Enqueue(Job job) {
    std::lock_guard guard(lock_);
    if (closing_)
        return false;
    jobs_.push_back(std::move(job));
    if (workerRunning_)
        return true; // the running worker takes it in turn
    HANDLE thread = StartWorkerThread([this] { RunJobs(); });
    if (!thread) {
        jobs_.pop_back();
        trace_.Write(L"失败事件：工作线程创建失败");
        return false;
    }
    worker_.reset(thread);
    workerRunning_ = true;
    return true;
}

size_t WorkQueue::Waiting() const {
    std::lock_guard guard(lock_);
    return jobs_.size();
}

bool WorkQueue::Idle() const {
    std::lock_guard guard(lock_);
    return jobs_.empty() && !inWork_;
}

void WorkQueue::WaitUntilIdle() const {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return jobs_.empty() && !inWork_; });
}

void WorkQueue::RunJobs() {
    // Installers read XML and the browser settings use COM objects.
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    if (!apartment.usable())
        trace_.Write(FormatW(L"失败事件：工作线程COM初始化失败 错误值：0x%08lX",
                             static_cast<unsigned long>(apartment.result())));
    for (;;) {
        Job job;
        {
            std::lock_guard guard(lock_);
            if (jobs_.empty() || closing_) {
                // The last touch of the queue: after this it may be destroyed.
                workerRunning_ = false;
                inWork_ = false;
                jobs_.clear();
                changed_.notify_all();
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
            inWork_ = true;
        }
        RunGuardedWork(trace_, job.name.c_str(), job.run, job.onFailure);
        {
            std::lock_guard guard(lock_);
            inWork_ = false;
            changed_.notify_all();
        }
    }
}
