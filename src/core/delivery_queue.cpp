#include "core/delivery_queue.hpp"

namespace velmora::detail {

DeliveryQueue::~DeliveryQueue() { shutdown(); }

void DeliveryQueue::post(std::shared_ptr<Deliverable> item) {
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
    return std::this_thread::get_id() == threadId_;
}

void DeliveryQueue::run() {
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
