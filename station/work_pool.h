// A pool of threads: the door's workers, the few threads of the requests that change the
// bench, and the threads of the event streams.  Items move into the pool (a connection has
// one owner at a time), each with the key of whom it comes from (a client's address); the
// threads take the keys in turn, and each key's items in order of arrival, so that a client
// with many requests waiting delays another's by one of them, not by all.
//
// The threads start with the pool, on the thread that makes it, and may then lower their own
// priority (a higher nice value); threads they start take that priority too, which is why the
// pool whose requests start runs keeps the process's.  A pool may also be given a share of
// one processor: its threads together use no more than that, measured by their own CPU time,
// and wait for their share to come back before they take the next item.
#pragma once

#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

struct WorkPoolSettings {
    size_t threads = 1;
    int nice = 0;           // 0: the process's priority
    double cpuShare = 0.0;  // of one processor, all threads together (0: no bound)
};

template <typename Item>
class CWorkPool {
public:
    CWorkPool(std::string name, WorkPoolSettings settings, std::function<void(Item)> work)
        : m_name(std::move(name)), m_settings(settings), m_work(std::move(work)) {
        for (size_t i = 0; i < settings.threads; ++i) {
            m_threads.emplace_back([this] { Loop(); });
        }
    }
    ~CWorkPool() { Stop(); }
    CWorkPool(const CWorkPool&) = delete;
    CWorkPool& operator=(const CWorkPool&) = delete;

    // Queues the item for the next free thread.  With `onlyIfFree`, only when a thread is
    // free for it now; false leaves the item with the caller.
    bool Offer(const std::string& key, Item& item, bool onlyIfFree = false) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping || (onlyIfFree && m_busy + m_waiting >= m_threads.size())) {
            return false;
        }
        std::deque<Item>& items = m_byKey[key];
        if (items.empty()) {
            m_turns.push_back(key);
        }
        items.push_back(std::move(item));
        ++m_waiting;
        m_changed.notify_one();
        return true;
    }

    // Lets the threads finish what they are doing and ends them; what is still queued is
    // dropped.
    void Stop() {
        std::vector<std::thread> threads;
        std::unordered_map<std::string, std::deque<Item>> dropped;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
            threads.swap(m_threads);
            dropped.swap(m_byKey);
            m_turns.clear();
            m_waiting = 0;
        }
        m_changed.notify_all();
        for (std::thread& thread : threads) {
            thread.join();
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    // CPU time the pool may run ahead of its share: a burst of requests is answered at once.
    static constexpr double kBurstSeconds = 0.1;

    static double ThreadCpuSeconds() {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    }

    // The CPU seconds the pool may still use now (negative: it is ahead of its share).
    double Balance(Clock::time_point now) {
        m_balance =
            std::min(kBurstSeconds,
                     m_balance + m_settings.cpuShare *
                                     std::chrono::duration<double>(now - m_balanceAt).count());
        m_balanceAt = now;
        return m_balance;
    }

    void Loop() {
        pthread_setname_np(pthread_self(), m_name.substr(0, 15).c_str());
        if (m_settings.nice > 0) {
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), m_settings.nice);  // this thread
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_stopping || !m_turns.empty(); });
            if (m_stopping) {
                return;
            }
            if (m_settings.cpuShare > 0) {
                const double balance = Balance(Clock::now());
                if (balance < 0) {
                    m_changed.wait_for(
                        lock, std::chrono::duration<double>(-balance / m_settings.cpuShare));
                    continue;
                }
            }
            // The next key's oldest item; the key goes to the back of the turns if it has more.
            const auto items = m_byKey.find(m_turns.front());
            m_turns.pop_front();
            Item item = std::move(items->second.front());
            items->second.pop_front();
            if (items->second.empty()) {
                m_byKey.erase(items);
            } else {
                m_turns.push_back(items->first);
            }
            --m_waiting;
            ++m_busy;
            lock.unlock();
            const double cpuBefore = ThreadCpuSeconds();
            m_work(std::move(item));
            const double cpuUsed = ThreadCpuSeconds() - cpuBefore;
            lock.lock();
            --m_busy;
            m_balance -= cpuUsed;
        }
    }

    const std::string m_name;
    const WorkPoolSettings m_settings;
    const std::function<void(Item)> m_work;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::unordered_map<std::string, std::deque<Item>> m_byKey;  // the items waiting, by key
    std::deque<std::string> m_turns;  // the keys with items waiting, in the order they go next
    size_t m_waiting = 0;
    std::vector<std::thread> m_threads;
    size_t m_busy = 0;  // threads doing an item's work
    double m_balance = kBurstSeconds;
    Clock::time_point m_balanceAt = Clock::now();
    bool m_stopping = false;
};
