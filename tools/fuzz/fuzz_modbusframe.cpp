// Feeds arbitrary bytes, cut into arbitrary reads, to the Modbus framer and
// checks every answer against the Modbus application protocol, using a
// reading of the same stream written independently here: each whole request
// gets exactly one answer, in order, with its transaction, protocol and unit
// identifiers echoed; a read of 1..125 registers within the address space
// answers 2 x quantity bytes, anything else the right exception code; frames
// too short for a request get none, and a length over 254 closes.
// Prints nothing per run.

#include "modbus/modbusframe.h"

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

uint16_t be16(const uint8_t *p)
{
    return uint16_t((p[0] << 8) | p[1]);
}

uint8_t expectedException(uint8_t function, uint16_t start, uint16_t quantity, bool storeUp)
{
    if (function != 3 && function != 4)
        return 1;
    if (quantity < 1 || quantity > 125)
        return 3;
    if (uint32_t(start) + quantity > 0x10000u)
        return 2;
    return storeUp ? 0 : 4;
}

// Walks the stream as a Modbus server must read it and compares each answer.
void checkAgainstStream(const uint8_t *stream, size_t size, const QByteArray &answers, bool closed,
                        bool storeUp)
{
    const auto *answer = reinterpret_cast<const uint8_t *>(answers.constData());
    const size_t answerSize = size_t(answers.size());
    size_t pos = 0;
    size_t out = 0;
    bool mustClose = false;
    while (size - pos >= 6) {
        const uint16_t length = be16(stream + pos + 4);
        if (length > 254) {
            mustClose = true;
            break;
        }
        if (size - pos < 6u + length)
            break;
        const uint8_t *request = stream + pos;
        pos += 6u + length;
        if (length >= 5 && request[7] == 43) {
            // Read Device Identification: the identity or an exception, whole and within bounds
            check(answerSize - out >= 9);
            const uint8_t *a = answer + out;
            check(be16(a) == be16(request) && be16(a + 2) == be16(request + 2) && a[6] == request[6]);
            const uint16_t answerLength = be16(a + 4);
            check(answerLength <= 254 && answerSize - out >= 6u + answerLength);
            if (a[7] == 43) {
                check(request[8] == 14 && request[9] >= 1 && request[9] <= 4);
                check(answerLength >= 8 && a[8] == 14 && a[9] == request[9] && a[10] == 0x83);
                size_t object = 14;
                for (int n = 0; n < a[13]; ++n) {
                    check(object + 2 <= 6u + answerLength);
                    object += 2u + a[object + 1];
                }
                check(object == 6u + answerLength);
            } else {
                check(a[7] == 0xAB && answerLength == 3 && a[8] >= 1 && a[8] <= 3);
            }
            out += 6u + answerLength;
            continue;
        }
        if (length < 6)
            continue;
        const uint8_t function = request[7];
        const uint16_t start = be16(request + 8);
        const uint16_t quantity = be16(request + 10);
        check(answerSize - out >= 9);
        const uint8_t *a = answer + out;
        check(be16(a) == be16(request) && be16(a + 2) == be16(request + 2) && a[6] == request[6]);
        const uint8_t exception = expectedException(function, start, quantity, storeUp);
        if (exception == 0) {
            check(a[7] == function);
            check(a[8] == 2 * quantity);
            check(be16(a + 4) == 3 + 2 * quantity);
            check(answerSize - out >= 9u + 2 * quantity);
            for (uint16_t i = 0; i < quantity; ++i)
                check(be16(a + 9 + 2 * i) == uint16_t(start + i));
        } else {
            check(a[7] == (function | 0x80));
            check(be16(a + 4) == 3);
            check(a[8] == exception);
        }
        out += 6u + be16(a + 4);
    }
    check(out == answerSize);
    check(closed == mustClose);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses the read size, the budget and the store's state;
    // the rest is the byte stream.
    const size_t step = 1 + data[0] % 64;
    const bool storeUp = !(data[0] & 0x80);
    const int budget = 1 + int(data[0] % 7);
    const Modbus::RegisterReader reader
        = [storeUp](uint8_t, uint16_t start, uint16_t quantity, uint16_t *out) -> uint8_t {
        check(quantity >= 1 && quantity <= 125 && uint32_t(start) + quantity <= 0x10000u);
        for (uint16_t i = 0; i < quantity; ++i)
            out[i] = uint16_t(start + i);
        return storeUp ? 0 : Modbus::ServerDeviceFailure;
    };
    const LogWriter quiet = [](const QString &) {};
    const Modbus::IdentityReader identify = [](uint8_t unitId, Modbus::IdentityObjects *objects) -> uint8_t {
        objects->insert(Modbus::VendorName, QByteArray("Tidewell"));
        objects->insert(Modbus::ProductName, QByteArray(200, 'n'));
        objects->insert(0x80, QByteArray(unitId, 'e'));
        return 0;
    };

    QByteArray buffer;
    QByteArray answers;
    bool closed = false;
    for (size_t pos = 1; pos < size && !closed; pos += step) {
        buffer.append(reinterpret_cast<const char *>(data + pos), int(std::min(step, size - pos)));
        closed = Modbus::processBuffer(buffer, answers, reader, quiet, budget, identify).close;
        // only an incomplete frame, or frames the budget left for later, stay
        check(buffer.size() < 6 + 255 || Modbus::canProceed(buffer));
    }
    // what the budget left over is taken on later passes
    while (!closed && Modbus::canProceed(buffer)) {
        const Modbus::SFramingResult result
            = Modbus::processBuffer(buffer, answers, reader, quiet, budget, identify);
        closed = result.close;
        check(result.frames > 0 || closed);
    }
    checkAgainstStream(data + 1, size - 1, answers, closed, storeUp);
    return 0;
}
