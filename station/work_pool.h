// A pool of threads that grows as work comes, up to a bound, and keeps its threads waiting for
// more: the door's workers, and apart from them the threads of the event streams.  Items
// move into the pool (a connection has one owner at a time); the work is done in order of
// arrival.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

template <typename Item>
class CWorkPool {
public:
    CWorkPool(std::string name, size_t maxThreads, std::function<void(Item)> work)
        : m_name(std::move(name)), m_maxThreads(maxThreads), m_work(std::move(work)) {}
    ~CWorkPool() { Stop(); }
    CWorkPool(const CWorkPool&) = delete;
    CWorkPool& operator=(const CWorkPool&) = delete;

    // Queues the item for the next free thread.  With `onlyIfFree`, only when a thread is
    // free for it now (or may be started); false leaves the item with the caller.
    bool Offer(Item& item, bool onlyIfFree = false) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) {
            return false;
        }
        const bool threadFree = m_idle > m_queue.size() || m_threads.size() < m_maxThreads;
        if (onlyIfFree && !threadFree) {
            return false;
        }
        m_queue.push_back(std::move(item));
        if (m_idle < m_queue.size() && m_threads.size() < m_maxThreads) {
            m_threads.emplace_back([this] { Loop(); });
        }
        m_changed.notify_one();
        return true;
    }

    // Lets the threads finish what they are doing and ends them; what is still queued is
    // dropped.
    void Stop() {
        std::vector<std::thread> threads;
        std::deque<Item> dropped;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
            threads.swap(m_threads);
            dropped.swap(m_queue);
        }
        m_changed.notify_all();
        for (std::thread& thread : threads) {
            thread.join();
        }
    }

private:
    void Loop() {
        pthread_setname_np(pthread_self(), m_name.substr(0, 15).c_str());
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            ++m_idle;
            m_changed.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            --m_idle;
            if (m_stopping) {
                return;
            }
            Item item = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            m_work(std::move(item));
            lock.lock();
        }
    }

    const std::string m_name;
    const size_t m_maxThreads;
    const std::function<void(Item)> m_work;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Item> m_queue;
    std::vector<std::thread> m_threads;
    size_t m_idle = 0;  // threads waiting for an item
    bool m_stopping = false;
};
