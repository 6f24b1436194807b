#pragma once

// Long work on the event loop (decoding a burst of uplinks, an export, event
// streams) asks this before each step whether to wait for the next pass
// because other work, a Modbus request, is waiting. It says yes at most once
// in a row, so that other work that never stops cannot starve the long work.
class CGiveWay
{
public:
    template<typename Waiting> bool now(Waiting &&otherWorkWaiting)
    {
        m_gaveWay = !m_gaveWay && otherWorkWaiting();
        return m_gaveWay;
    }

private:
    bool m_gaveWay = false;
};
