#include "modbus/modbuspoller.h"

#include <QThread>

#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

// QSocketNotifier::activated is overloaded and private, so QOverload cannot
// name it; deduction picks the overload that takes a QSocketDescriptor.
template<typename Private>
auto activatedSignal(void (QSocketNotifier::*signal)(QSocketDescriptor, QSocketNotifier::Type, Private))
{
    return signal;
}

} // namespace

CModbusPoller &CModbusPoller::instance()
{
    // never destroyed: listeners closing during exit still unwatch through it
    static auto *poller = new CModbusPoller;
    return *poller;
}

CModbusPoller::CModbusPoller()
    : m_epoll(epoll_create1(EPOLL_CLOEXEC))
{
    if (m_epoll < 0)
        qFatal("CModbusPoller: epoll_create1 failed");
    m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
    connect(m_notifier, activatedSignal(&QSocketNotifier::activated), this, &CModbusPoller::dispatch);
}

bool CModbusPoller::watch(int descriptor, uint32_t events, IClient *client)
{
    Q_ASSERT(QThread::currentThread() == thread());
    epoll_event event {};
    event.events = events;
    event.data.fd = descriptor;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, descriptor, &event) != 0)
        return false;
    m_clients.insert(descriptor, client);
    return true;
}

void CModbusPoller::change(int descriptor, uint32_t events)
{
    epoll_event event {};
    event.events = events;
    event.data.fd = descriptor;
    epoll_ctl(m_epoll, EPOLL_CTL_MOD, descriptor, &event);
}

void CModbusPoller::unwatch(int descriptor)
{
    if (m_clients.remove(descriptor) > 0)
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, descriptor, nullptr);
}

bool CModbusPoller::waiting() const
{
    // An epoll set is readable while any descriptor in it is ready; asking
    // takes nothing out of it.
    pollfd set { m_epoll, POLLIN, 0 };
    return ::poll(&set, 1, 0) > 0;
}

// A client may unwatch itself or others while a batch is dispatched, and a
// descriptor number freed that way may come back with a new connection; each
// event is therefore looked up as it is handed out, and a stale one reaches
// at worst a socket that has nothing to read yet.
void CModbusPoller::dispatch()
{
    constexpr int BatchSize = 64;
    epoll_event events[BatchSize];
    const int ready = epoll_wait(m_epoll, events, BatchSize, 0);
    for (int i = 0; i < ready; ++i) {
        IClient *client = m_clients.value(events[i].data.fd);
        if (client)
            client->descriptorReady(events[i].events);
    }
    // An answer wakes its client, and the scheduler tends to wake it on this
    // processor, where it would wait for whatever this loop does next (an
    // uplink, a piece of an export) before it can read. Yielding once lets a
    // client on this machine (an HMI, a local SCADA) read first; with nobody
    // else ready to run it returns at once.
    if (m_answered) {
        m_answered = false;
        sched_yield();
    }
}
