#pragma once

#include <QHash>
#include <QObject>
#include <QSocketNotifier>

#include <cstdint>

// Readiness of every Modbus listener and connection, gathered in one epoll
// set that the event loop watches through a single notifier. With a notifier
// per socket, each wake-up of the loop costs as much as there are ports and
// connections (poll() looks at all of them); this way it costs as much as
// there are sockets ready.
//
// One poller serves the process, on the thread that first uses it (the
// gateway's); listeners and connections are made and used on that thread.
class CModbusPoller : public QObject
{
    Q_OBJECT

public:
    class IClient
    {
    public:
        // `events`: the epoll events reported for the descriptor.
        virtual void descriptorReady(uint32_t events) = 0;

    protected:
        ~IClient() = default;
    };

    static CModbusPoller &instance();

    // Level-triggered; `events` is a mask of EPOLLIN and EPOLLOUT (errors and
    // hang-ups are always reported). False, with errno set, when the
    // descriptor cannot be watched.
    bool watch(int descriptor, uint32_t events, IClient *client);
    void change(int descriptor, uint32_t events);
    // Before the descriptor is closed; no event for it is reported afterwards.
    void unwatch(int descriptor);

    // Some watched descriptor is ready now (a request, a connection or room to
    // send is waiting). Long work elsewhere on the event loop asks this
    // between small steps and gives way, so that Modbus answers come first.
    bool waiting() const;

    // A client was sent an answer during this dispatch (see dispatch()).
    void noteAnswered() { m_answered = true; }

private:
    CModbusPoller();
    void dispatch();

    int m_epoll = -1;
    QSocketNotifier *m_notifier = nullptr;
    QHash<int, IClient *> m_clients;
    bool m_answered = false;
};
