// The pool of mailbox workers and their shared work queue.
//
// A fixed number of workers, each on a thread of its own with its own MAPI
// session and private store, take mailbox work items from one first-in,
// first-out queue. The mailbox engine creates the pool in setup, pushes one
// item a mailbox in every pass, and stops the pool in teardown.
//
// Locks: the queue lock guards the queue only and is held just while an item
// is pushed or popped or the queue emptied, never while a mailbox is
// processed. The worker-list lock guards the worker list and the worker
// count and is held through the whole of create_threads (including the waits
// for each worker to start) and of the stopping of the workers (including
// the waits for each to end). No code holds both.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

#include "mailstore/mapi_interfaces.h"
#include "runtime/vtxpr_sync.h"
#include "runtime/vtxpr_threads.h"

class mailbox_engine;
class mailbox_work_item;
class thread_pool;

// Most workers a pool runs (the settings already keep the count at 20 or
// below).
constexpr std::uint32_t THREAD_POOL_MAX_WORKERS = 1000;

class mailbox_worker {
public:
    mailbox_worker(thread_pool* owner, void* param);
    virtual ~mailbox_worker() = default;
    mailbox_worker(const mailbox_worker&) = delete;
    mailbox_worker& operator=(const mailbox_worker&) = delete;

    // On the worker's own thread: initialises MAPI, logs on with the
    // engine's temporary profile and opens the server's private store.
    // 1 on success; 0 after logging 28003 or 28014.
    int thread_init(void* param);
    // Carries one mailbox through the pass; then counts it done with the
    // engine and destroys the item, whatever happened.
    void process_mailbox(mailbox_work_item* item);
    // In a maintenance pass, expunges old items from the folder the rule
    // moves spam to.
    void run_maintenance(mailbox_work_item* item, LPMDB store, LPMAPITABLE rules_table);
    // Releases the private store and the session, uninitialises MAPI.
    void thread_cleanup();

    // The thread's routine.
    static std::uint32_t worker_loop(void* self);

    // Fields, in order.
    mailbox_engine* engine = nullptr;
    LPMAPISESSION session = nullptr;
    LPMDB private_store = nullptr;
    void* parameter = nullptr;
    VTXPR_THREAD thread = nullptr;
    std::atomic<std::uint8_t> stop_flag{0}; // set by the pool, or by a worker that could not start
    std::atomic<std::uint8_t> started_flag{0}; // set once thread_init has returned
    thread_pool* pool = nullptr;
};

class thread_pool {
public:
    thread_pool();
    ~thread_pool();
    thread_pool(const thread_pool&) = delete;
    thread_pool& operator=(const thread_pool&) = delete;

    // Starts `count` workers (brought into 1..1000), one after another, each
    // having finished its thread_init before the next is created. Returns 1,
    // or 0 when the pool already has workers (19011 logged) or memory for a
    // worker could not be had (the workers started so far stay until stop).
    int create_threads(std::uint32_t count, void* param);
    // Appends at the back of the queue; false when memory runs out (the item
    // then still belongs to the caller).
    bool push(mailbox_work_item* item);
    // Takes the front item, or null when the queue is empty.
    mailbox_work_item* pop();
    // Stops the workers, newest first, each after the mailbox in its hands;
    // then empties the queue, destroying the items when `delete_queued`.
    void stop(bool delete_queued);

    // Fields, in order.
    std::uint32_t worker_count = 0;
    std::deque<mailbox_work_item*> work_queue;
    std::vector<mailbox_worker*> workers;
    VTXPR_LOCK queue_lock;
    VTXPR_LOCK worker_list_lock;
};
