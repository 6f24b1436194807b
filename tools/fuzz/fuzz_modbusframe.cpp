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
        = [storeUp](uint16_t start, uint16_t quantity, uint16_t *out) -> uint8_t {
        check(quantity >= 1 && quantity <= 125 && uint32_t(start) + quantity <= 0x10000u);
        for (uint16_t i = 0; i < quantity; ++i)
            out[i] = uint16_t(start + i);
        return storeUp ? 0 : Modbus::ServerDeviceFailure;
    };
    const LogWriter quiet = [](const QString &) {};

    QByteArray buffer;
    QByteArray answers;
    bool closed = false;
    for (size_t pos = 1; pos < size && !closed; pos += step) {
        buffer.append(reinterpret_cast<const char *>(data + pos), int(std::min(step, size - pos)));
        closed = Modbus::processBuffer(buffer, answers, reader, quiet, budget).close;
        // only an incomplete frame, or frames the budget left for later, stay
        check(buffer.size() < 6 + 255 || Modbus::canProceed(buffer));
    }
    // what the budget left over is taken on later passes
    while (!closed && Modbus::canProceed(buffer)) {
        const Modbus::SFramingResult result = Modbus::processBuffer(buffer, answers, reader, quiet, budget);
        closed = result.close;
        check(result.frames > 0 || closed);
    }
    checkAgainstStream(data + 1, size - 1, answers, closed, storeUp);
    return 0;
}
