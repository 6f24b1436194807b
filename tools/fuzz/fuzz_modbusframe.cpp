// Feeds arbitrary bytes, cut into arbitrary reads, to the Modbus framer and
// checks that every answer is a well-formed frame and that the buffer only
// ever keeps an incomplete frame.

#include "modbus/modbusframe.h"

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

// Walks the answers: MBAP plus a read answer or an exception.
void checkAnswers(const QByteArray &answers)
{
    int pos = 0;
    while (pos < answers.size()) {
        check(answers.size() - pos >= 9);
        const SModbusMBAP mbap = Modbus::decodeMbap(answers.constData() + pos);
        const auto function = uint8_t(answers[pos + 7]);
        if (function & 0x80) {
            check(mbap.length == 3);
            const auto code = uint8_t(answers[pos + 8]);
            check(code >= 1 && code <= 4);
        } else {
            check(function == 3 || function == 4);
            const auto byteCount = uint8_t(answers[pos + 8]);
            check(byteCount <= 250 && byteCount % 2 == 0);
            check(mbap.length == 3 + byteCount);
        }
        pos += 6 + mbap.length;
    }
    check(pos == answers.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses the read size, the rest is the byte stream.
    const size_t step = 1 + data[0] % 64;
    const bool storeUp = data[0] & 0x80;
    QByteArray buffer;
    for (size_t pos = 1; pos < size; pos += step) {
        buffer.append(reinterpret_cast<const char *>(data + pos), int(std::min(step, size - pos)));
        QByteArray answers;
        Modbus::processBuffer(
            buffer, answers,
            [storeUp](uint16_t start, uint16_t quantity, uint16_t *out) -> uint8_t {
                check(quantity <= 125 && uint32_t(start) + quantity <= 0x10000u);
                for (uint32_t i = 0; i < quantity; ++i)
                    out[i] = uint16_t(i);
                return storeUp ? 0 : Modbus::ServerDeviceFailure;
            },
            [](const QString &) {}, 1 + int(data[0] % 7));
        checkAnswers(answers);
        // Whatever stays is at most one frame's worth of a pipeline.
        check(buffer.size() <= 6 + 65535 || Modbus::hasCompleteFrame(buffer));
    }
    return 0;
}
