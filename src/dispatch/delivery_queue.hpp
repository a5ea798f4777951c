#pragma once
// The one serial queue on which every completion of a non-blocking call runs, one after
// another, on a thread of its own.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/wakeup.hpp"

namespace velmora::detail {

class Deliverable {
public:
    virtual ~Deliverable() = default;
    // Runs on the delivery thread.
    virtual void deliver() = 0;
};

class DeliveryQueue {
public:
    DeliveryQueue() = default;
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;
    ~DeliveryQueue();

    // Any thread. After shutdown() the item is dropped unrun.
    void post(std::shared_ptr<Deliverable> item);

    // While a Batch lives on a thread, that thread's posts to this queue are held and handed
    // over together when it ends: one lock and one wake-up for everything a poll of the
    // network finished. Waking the delivery thread per item lets it preempt the poster on a
    // busy core after every single item.
    class Batch {
    public:
        explicit Batch(DeliveryQueue& queue);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        friend class DeliveryQueue;
        DeliveryQueue& queue_;
        Batch* outer_;
        std::deque<std::shared_ptr<Deliverable>> held_;
    };

    // Runs on the delivery thread after each run of items it took at once (not while
    // holding the queue's lock). Set before the first post.
    void setAfterItems(void (*hook)()) noexcept { afterItems_ = hook; }
    bool onDeliveryThread() const noexcept;
    // Lets the item being delivered finish and drops the rest. Safe from the delivery
    // thread itself (then the thread is left to end on its own).
    void shutdown();

private:
    void run();
    void append(std::deque<std::shared_ptr<Deliverable>>& items);
    bool takeSleeper();  // under the lock: whether the poster must wake the thread

    std::mutex mutex_;
    std::deque<std::shared_ptr<Deliverable>> items_;
    // 1 while the delivery thread sleeps, or is about to, on an empty queue; a poster that
    // finds it so sets it to 0 under the lock and wakes the thread.
    WakeWord sleeping_;
    bool stopping_ = false;
    std::atomic<bool> stopFlag_{false};  // read between items without the lock
    std::thread thread_;
    std::thread::id threadId_;
    void (*afterItems_)() = nullptr;
};

}  // namespace velmora::detail
