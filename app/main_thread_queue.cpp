#include "app/main_thread_queue.h"

#include <utility>

bool MainThreadQueue::post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return false;
        }
        items_.push_back({++queued_, std::move(work)});
    }
    wake_();
    return true;
}

bool MainThreadQueue::send(std::function<void()> work) {
    uint64_t number = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return false;
        }
        number = ++queued_;
        items_.push_back({number, std::move(work)});
    }
    wake_();
    std::unique_lock<std::mutex> lock(mutex_);
    ran_.wait(lock, [&] { return done_ >= number || closed_; });
    return done_ >= number;
}

void MainThreadQueue::runPending() {
    for (;;) {
        Item item;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_ || items_.empty()) {
                return;
            }
            item = std::move(items_.front());
            items_.pop_front();
        }
        item.work();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = item.number;
        }
        ran_.notify_all();
    }
}

void MainThreadQueue::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        items_.clear();
    }
    ran_.notify_all();
}

bool MainThreadQueue::empty() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.empty();
}
