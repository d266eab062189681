// The site's start and stop: the history wakes the sender after every row it writes.
#include "station/site.h"

void CSite::Start(std::function<void(const nlohmann::ordered_json&)> publish) {
    m_sender.OnChange(std::move(publish));
    m_history.SetWriteListener([this] { m_sender.Wake(); });
    m_started = true;
    m_sender.Start();
}

void CSite::Stop(int drainMs) {
    m_queries.Stop();
    m_sender.Stop(drainMs);
    if (m_started) {
        m_history.SetWriteListener(nullptr);
        m_started = false;
    }
}
