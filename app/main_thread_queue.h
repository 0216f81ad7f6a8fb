// MainThreadQueue: how the workers reach the dialog's presenter, which lives on the main thread.
// A worker posts a piece of work and goes on, or sends it and waits until the main thread has
// run it (as a cross-thread SendMessage waits): a progress step or a status line is shown before
// the device is asked for the next one.
//
// Nothing can deadlock on a send: the main thread never waits for a worker while the queue is
// open (the presenter joins a worker only after the worker's last post, and closes the queue
// before it joins at the end), its views keep running the queue while a box is open, and a
// send to a closed queue returns at once, its work dropped.
//
// Threads: post, send and empty on any thread; runPending and close on the main thread only.
// The wake-up is called with no lock held, from the posting thread, and must not block.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

class MainThreadQueue {
  public:
    explicit MainThreadQueue(std::function<void()> wake) : wake_(std::move(wake)) {}
    MainThreadQueue(const MainThreadQueue&) = delete;
    MainThreadQueue& operator=(const MainThreadQueue&) = delete;

    // Queues work for the main thread and wakes it. False (the work dropped) once closed.
    bool post(std::function<void()> work);
    // As post, then waits until the main thread has run the work, or the queue is closed.
    // True when it ran. Never call it on the main thread.
    bool send(std::function<void()> work);

    // Runs what is queued, in order, with no lock held; work queued meanwhile runs too.
    void runPending();
    // No more work runs; senders that wait return, and later posts and sends are dropped.
    void close();
    bool empty() const;

  private:
    struct Item {
        uint64_t number;
        std::function<void()> work;
    };

    const std::function<void()> wake_;
    mutable std::mutex mutex_;
    std::condition_variable ran_;
    std::deque<Item> items_;
    uint64_t queued_ = 0;  // numbers given so far
    uint64_t done_ = 0;    // every item up to this number has run (or was dropped)
    bool closed_ = false;
};
