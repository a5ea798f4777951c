// The delivery thread: takes posted completions in batches and runs them one after another.

#include "dispatch/delivery_queue.hpp"

namespace velmora::detail {

DeliveryQueue::~DeliveryQueue() { shutdown(); }

namespace {
thread_local DeliveryQueue::Batch* currentBatch = nullptr;

// Set by the delivery thread itself, so asking needs no synchronisation with its start.
thread_local const DeliveryQueue* runningQueue = nullptr;
}  // namespace

DeliveryQueue::Batch::Batch(DeliveryQueue& queue) : queue_(queue), outer_(currentBatch) {
    currentBatch = this;
}

DeliveryQueue::Batch::~Batch() {
    currentBatch = outer_;
    if (!held_.empty()) queue_.append(held_);
}

void DeliveryQueue::append(std::deque<std::shared_ptr<Deliverable>>& items) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;  // the items are released by their holder, unrun
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { run(); });
            threadId_ = thread_.get_id();
        }
        for (auto& item : items) items_.push_back(std::move(item));
        if (!takeSleeper()) return;
    }
    sleeping_.wakeOne();
}

bool DeliveryQueue::takeSleeper() {
    if (sleeping_.word().load(std::memory_order_relaxed) == 0) return false;
    sleeping_.word().store(0, std::memory_order_release);
    return true;
}

void DeliveryQueue::post(std::shared_ptr<Deliverable> item) {
    if (Batch* batch = currentBatch; batch != nullptr && &batch->queue_ == this) {
        batch->held_.push_back(std::move(item));
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;  // `item` is released here, unrun
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { run(); });
            threadId_ = thread_.get_id();
        }
        items_.push_back(std::move(item));
        if (!takeSleeper()) return;  // awake, or already being woken
    }
    sleeping_.wakeOne();
}

bool DeliveryQueue::onDeliveryThread() const noexcept {
    return runningQueue == this;
}

void DeliveryQueue::run() {
    runningQueue = this;
    std::deque<std::shared_ptr<Deliverable>> batch;
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            batch.swap(items_);
            if (batch.empty()) sleeping_.word().store(1, std::memory_order_relaxed);
        }
        if (batch.empty()) {
            // A wake-up between the unlock and here leaves 0 behind: no sleep then.
            sleeping_.sleepWhile(1);
            continue;
        }
        while (!batch.empty()) {
            batch.front()->deliver();
            batch.pop_front();
            if (stopFlag_.load(std::memory_order_relaxed)) break;
        }
        batch.clear();
        if (afterItems_ != nullptr) afterItems_();
    }
}

void DeliveryQueue::shutdown() {
    std::deque<std::shared_ptr<Deliverable>> dropped;
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        stopFlag_.store(true, std::memory_order_relaxed);
        dropped.swap(items_);
        thread = std::move(thread_);
        sleeping_.word().store(0, std::memory_order_release);
    }
    sleeping_.wakeOne();
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
}

}  // namespace velmora::detail
