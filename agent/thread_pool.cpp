#include "agent/thread_pool.h"

#include <new>

#include "agent/mailbox_work_item.h"
#include "log/xal_log.h"
#include "runtime/vtxpr_time.h"

namespace {
// How often the waits for a worker to start or to end look again, seconds.
constexpr double START_STOP_POLL_SECONDS = 0.01;
} // namespace

thread_pool::thread_pool() {
    VTXPR_InitLock(&queue_lock);
    VTXPR_InitLock(&worker_list_lock);
}

thread_pool::~thread_pool() {
    VTXPR_DestroyLock(&worker_list_lock);
    VTXPR_DestroyLock(&queue_lock);
}

int thread_pool::create_threads(std::uint32_t count, void* param) {
    VTXPR_Lock(&worker_list_lock);
    if (count < 1)
        count = 1;
    if (count > THREAD_POOL_MAX_WORKERS)
        count = THREAD_POOL_MAX_WORKERS;
    if (worker_count != 0) {
        xal_log_message(XAL_LOG_ERR, 19011, static_cast<int>(worker_count));
        VTXPR_Unlock(&worker_list_lock);
        return 0;
    }
    // Room for every worker first, so that appending below cannot fail.
    try {
        workers.reserve(count);
    } catch (const std::bad_alloc&) {
        VTXPR_Unlock(&worker_list_lock);
        return 0;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        auto* worker = new (std::nothrow) mailbox_worker(this, param);
        if (worker == nullptr) {
            // The workers started so far stay in the pool until stop.
            VTXPR_Unlock(&worker_list_lock);
            return 0;
        }
        if (VTXPR_CreateThread(&worker->thread, nullptr, &mailbox_worker::worker_loop, worker) != 0)
            worker->stop_flag = 1;
        while (worker->started_flag == 0 && worker->stop_flag == 0)
            VTXPR_Sleep(START_STOP_POLL_SECONDS);
        workers.push_back(worker);
        ++worker_count;
    }
    VTXPR_Unlock(&worker_list_lock);
    return 1;
}

bool thread_pool::push(mailbox_work_item* item) {
    bool pushed = true;
    VTXPR_Lock(&queue_lock);
    try {
        work_queue.push_back(item);
    } catch (const std::bad_alloc&) {
        pushed = false;
    }
    VTXPR_Unlock(&queue_lock);
    return pushed;
}

mailbox_work_item* thread_pool::pop() {
    mailbox_work_item* item = nullptr;
    VTXPR_Lock(&queue_lock);
    if (!work_queue.empty()) {
        item = work_queue.front();
        work_queue.pop_front();
    }
    VTXPR_Unlock(&queue_lock);
    return item;
}

void thread_pool::stop(bool delete_queued) {
    VTXPR_Lock(&worker_list_lock);
    for (std::uint32_t n = worker_count; n > 0; --n) {
        if (workers.empty()) {
            if (worker_count != 0)
                xal_log_message(XAL_LOG_ERR, 19012, static_cast<int>(worker_count));
            break;
        }
        mailbox_worker* worker = workers.back();
        worker->stop_flag = 1;
        std::uint32_t exit_code = 0;
        while (VTXPR_GetExitCodeThread(worker->thread, &exit_code) == 0 &&
               exit_code == VTXPR_STILL_ACTIVE)
            VTXPR_Sleep(START_STOP_POLL_SECONDS);
        VTXPR_CloseThread(&worker->thread);
        workers.pop_back();
        delete worker;
        --worker_count;
    }
    VTXPR_Unlock(&worker_list_lock);

    VTXPR_Lock(&queue_lock);
    if (delete_queued)
        for (mailbox_work_item* item : work_queue)
            delete item;
    work_queue.clear();
    work_queue.shrink_to_fit();
    VTXPR_Unlock(&queue_lock);
}
