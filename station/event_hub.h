// The station's event stream to every connected page: each client has a queue of its own
// with a bound, every event goes into every queue in the same order, and a client whose queue
// is full is dropped (it reconnects and starts again from a snapshot), so a slow page never
// holds up a run and never misses an event without knowing.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CEventHub {
public:
    class Client {
    public:
        // The next event, waiting up to `timeoutMs`: nullopt when none came in that time;
        // Closed() tells a client that was dropped or a hub that closed.
        std::optional<std::string> Next(int timeoutMs);
        bool Closed();

    private:
        friend class CEventHub;
        std::mutex m_mutex;
        std::condition_variable m_changed;
        std::deque<std::string> m_queue;
        bool m_closed = false;
    };

    explicit CEventHub(size_t queueBound = 4096, size_t maxClients = 32)
        : m_queueBound(queueBound), m_maxClients(maxClients) {}

    // A new client whose queue starts with `first` (the snapshot); null when the hub holds
    // as many clients as it may, or has closed.  The caller makes the snapshot and calls
    // this under the same lock as its Publish calls, so no event falls between them.
    std::shared_ptr<Client> Subscribe(std::string first);
    void Unsubscribe(const std::shared_ptr<Client>& client);
    // Puts the event into every client's queue.
    void Publish(const std::string& event);
    // Ends every stream.
    void Close();

    size_t Clients();

private:
    const size_t m_queueBound;
    const size_t m_maxClients;
    std::mutex m_mutex;
    std::vector<std::shared_ptr<Client>> m_clients;
    bool m_closed = false;
};
