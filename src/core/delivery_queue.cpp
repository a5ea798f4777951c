#include "core/delivery_queue.hpp"

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
        const bool wasEmpty = items_.empty();
        for (auto& item : items) items_.push_back(std::move(item));
        if (!wasEmpty) return;
    }
    wake_.notify_one();
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
        if (items_.size() > 1) return;  // the thread is already awake for the earlier item
    }
    wake_.notify_one();
}

bool DeliveryQueue::onDeliveryThread() const noexcept {
    return runningQueue == this;
}

void DeliveryQueue::run() {
    runningQueue = this;
    std::deque<std::shared_ptr<Deliverable>> batch;
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || !items_.empty(); });
        if (stopping_) return;
        batch.swap(items_);
        lock.unlock();
        while (!batch.empty()) {
            batch.front()->deliver();
            batch.pop_front();
            if (stopFlag_.load(std::memory_order_relaxed)) break;
        }
        batch.clear();
        if (afterItems_ != nullptr) afterItems_();
        lock.lock();
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
    }
    wake_.notify_all();
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
}

}  // namespace velmora::detail
