// The event hub.
#include "station/event_hub.h"

#include <algorithm>
#include <chrono>

std::optional<std::string> CEventHub::Client::Next(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [this] { return m_closed || !m_queue.empty(); });
    if (m_queue.empty() || m_closed) {
        return std::nullopt;
    }
    std::string event = std::move(m_queue.front());
    m_queue.pop_front();
    return event;
}

bool CEventHub::Client::Closed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

std::shared_ptr<CEventHub::Client> CEventHub::Subscribe(std::string first) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed || m_clients.size() >= m_maxClients) {
        return nullptr;
    }
    auto client = std::make_shared<Client>();
    client->m_queue.push_back(std::move(first));
    m_clients.push_back(client);
    return client;
}

void CEventHub::Unsubscribe(const std::shared_ptr<Client>& client) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), client), m_clients.end());
}

void CEventHub::Publish(const std::string& event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        Client& client = **it;
        bool dropped = false;
        {
            std::lock_guard<std::mutex> clientLock(client.m_mutex);
            if (client.m_queue.size() >= m_queueBound) {
                // Behind by a whole queue: this client goes, not the event.
                client.m_closed = true;
                client.m_queue.clear();
                dropped = true;
            } else {
                client.m_queue.push_back(event);
            }
        }
        client.m_changed.notify_all();
        it = dropped ? m_clients.erase(it) : it + 1;
    }
}

void CEventHub::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    for (auto& client : m_clients) {
        {
            std::lock_guard<std::mutex> clientLock(client->m_mutex);
            client->m_closed = true;
        }
        client->m_changed.notify_all();
    }
    m_clients.clear();
}

size_t CEventHub::Clients() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clients.size();
}
