#pragma once

#include <QHash>
#include <QString>

#include <cstdint>
#include <deque>
#include <utility>

// A first-in first-out queue of uplinks (or what they became) that cannot
// grow without bound. Up to `limit` items simply wait in arrival order. Past
// that, an item whose key (device and packet type) already has one waiting
// takes that one's place and keeps its position: the registers serve only the
// latest value of a device anyway, and the queue holds at most one item per
// key beyond the limit. Items of keys not yet waiting are always appended.
template<typename T> class CLatestQueue
{
public:
    static constexpr int DefaultLimit = 10000;

    explicit CLatestQueue(int limit = DefaultLimit)
        : m_limit(limit)
    {
    }

    // Appends, or past the limit replaces the waiting item of the same key;
    // true when it replaced one.
    bool push(const QString &key, T item)
    {
        if (int(m_items.size()) >= m_limit) {
            const auto found = m_latest.constFind(key);
            if (found != m_latest.cend()) {
                m_items[size_t(*found - m_frontSeq)].second = std::move(item);
                ++m_replaced;
                return true;
            }
        }
        m_latest.insert(key, m_frontSeq + m_items.size());
        m_items.emplace_back(key, std::move(item));
        return false;
    }

    T takeFirst()
    {
        auto front = std::move(m_items.front());
        m_items.pop_front();
        const auto found = m_latest.find(front.first);
        if (found != m_latest.end() && *found == m_frontSeq)
            m_latest.erase(found);
        ++m_frontSeq;
        return std::move(front.second);
    }

    const T &first() const { return m_items.front().second; }
    bool isEmpty() const { return m_items.empty(); }
    int size() const { return int(m_items.size()); }
    int limit() const { return m_limit; }
    void setLimit(int limit) { m_limit = limit; }
    // Items replaced by a later one of the same key, since the start.
    quint64 replaced() const { return m_replaced; }

private:
    int m_limit;
    std::deque<std::pair<QString, T>> m_items;
    QHash<QString, quint64> m_latest; // key -> sequence number of its last waiting item
    quint64 m_frontSeq = 0; // sequence number of m_items.front()
    quint64 m_replaced = 0;
};
