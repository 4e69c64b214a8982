#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace glasswing {

// A process-wide notification center: observers register for a name, and posting that name
// runs each of them, in the order they registered, on the posting thread before `post` returns.
// Notifications carry no object and no user information.
//
// Thread-safe. An observer may add or remove observers while it runs; the change applies from
// the next post. An observer removed while a post on another thread is running may still be
// called by that post.
class NotificationCenter {
public:
    using Observer = std::function<void()>;
    using Token = std::uint64_t;

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The center the menus post to and the controllers observe. Handed to them by the
    // composition root; nothing deeper reaches for it.
    static NotificationCenter& defaultCenter();

    Token addObserver(const QString& name, Observer observer);
    void removeObserver(Token token);
    void post(const QString& name) const;

private:
    struct Entry {
        Token token;
        QString name;
        Observer observer;
    };

    mutable std::mutex m_lock;
    std::vector<Entry> m_entries;
    Token m_nextToken = 1;
};

} // namespace glasswing
