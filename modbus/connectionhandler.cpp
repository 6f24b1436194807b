#include "modbus/connectionhandler.h"

#include "app/logfile.h"
#include "storage/databasehandler.h"

#include <QDebug>

CConnectionHandler::CConnectionHandler(uint16_t port, CDataBaseHandler *store)
    : m_port(port)
    , m_store(store)
{
    connect(this, &QTcpSocket::readyRead, this, &CConnectionHandler::readyReadSlot);
    connect(this, &QTcpSocket::disconnected, this, &CConnectionHandler::disconnectedSlot);
}

void CConnectionHandler::readyReadSlot()
{
    m_buffer.append(readAll());
    QByteArray answers;
    Modbus::processBuffer(
        m_buffer, answers,
        [this](uint16_t start, uint16_t quantity, QMap<uint16_t, uint16_t> &registers) {
            return readRegisters(start, quantity, registers);
        },
        [](const QString &line) { addLog(line); });
    // Never wait for the peer: what the kernel does not take now stays queued
    // on the socket for the event loop, so a slow reader stalls nobody else.
    if (!answers.isEmpty()) {
        write(answers);
        flush();
    }
}

void CConnectionHandler::disconnectedSlot()
{
    deleteLater();
}

QByteArray CConnectionHandler::getAnswerDataSlot(SModbusMBAP _mbap, SModbusTcpPacketHeader _header,
                                                 QMap<uint16_t, uint16_t> _data)
{
    return Modbus::buildReadAnswer(_mbap, _header, _data);
}

bool CConnectionHandler::readRegisters(uint16_t start, uint16_t quantity, QMap<uint16_t, uint16_t> &registers)
{
    CDataBaseHandler *store = m_store ? m_store : CDataBaseHandler::getInstance();
    if (!store || store->failed()) {
        addLog(QStringLiteral(
                   "ERROR: [CConnectionHandler] Register store is not available. Request for port [%1] "
                   "is answered with an exception")
                   .arg(m_port));
        return false;
    }
    registers = store->getRegisterData(m_port, start, quantity);
    qDebug().noquote() << QStringLiteral("[CConnectionHandler] Request [%1] registers beginning from [%2]")
                              .arg(quantity)
                              .arg(start);
    return true;
}
