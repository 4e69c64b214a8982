#include "platform/NotificationCenter.h"

#include <algorithm>

namespace glasswing {

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const QString& name, Observer observer)
{
    const std::lock_guard<std::mutex> guard(m_lock);
    const Token token = m_nextToken++;
    m_entries.push_back(Entry{token, name, std::move(observer)});
    return token;
}

void NotificationCenter::removeObserver(Token token)
{
    const std::lock_guard<std::mutex> guard(m_lock);
    std::erase_if(m_entries, [token](const Entry& entry) { return entry.token == token; });
}

void NotificationCenter::post(const QString& name) const
{
    // Observers run outside the lock, so that they may observe, post or remove in turn.
    std::vector<Observer> matching;
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        for (const Entry& entry : m_entries) {
            if (entry.name == name)
                matching.push_back(entry.observer);
        }
    }
    for (const Observer& observer : matching)
        observer();
}

} // namespace glasswing
