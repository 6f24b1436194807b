// Loads arbitrary bytes as a device type template file with the gateway's
// own loader, and decodes an uplink of every packet the template kept:
// whatever a file says, loading must not crash, an accepted template must be
// whole, with register sizes a register map can hold, and decoding by it must
// stay inside the payload and give register texts of 1 to 4 characters.

#include "devices/templateloader.h"
#include "devices/uplinkdecoder.h"
#include "serverlink/jsonguard.h"
#include "tools/fuzz/fuzzsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdint>

namespace {

// Packets larger than this are decoded with a payload of the wrong size only;
// a template may claim any size, but an uplink is small.
const int kLargestPayload = 4096;

bool sizeFits(int regBitSize)
{
    return regBitSize >= TemplateLoader::MinRegBitSize && regBitSize <= TemplateLoader::MaxRegBitSize;
}

void checkTemplate(const SDeviceTemplate &tpl)
{
    Fuzz::check(!tpl.device_packets.isEmpty());
    for (auto it = tpl.device_packets.cbegin(); it != tpl.device_packets.cend(); ++it) {
        Fuzz::check(it->valid && !it->packet_fields.isEmpty());
        Fuzz::check(it.key() == static_cast<uint32_t>(it->packet_type));
        for (const SDevicePacketField &field : it->packet_fields)
            Fuzz::check(field.valid && sizeFits(field.reg_bit_size));
    }
    for (auto it = tpl.server_data.cbegin(); it != tpl.server_data.cend(); ++it)
        Fuzz::check(it->valid && it.key() == it->data_code && sizeFits(it->reg_bit_size));
}

void decodeEach(const SDeviceTemplate &tpl, const QByteArray &bytes)
{
    API::SApiDeviceData uplink;
    uplink.devEui = QStringLiteral("0011223344550001");
    uplink.gatewayId = QStringLiteral("AA555A0000000001");
    uplink.rssi = -97;
    uplink.snr = 7.5;
    for (auto it = tpl.device_packets.cbegin(); it != tpl.device_packets.cend(); ++it) {
        const int size = it->packet_size;
        const bool fits = size >= 1 && size <= kLargestPayload;
        // The template's own size, or one byte that is too short for it.
        uplink.data = fits ? bytes.left(size).leftJustified(size, '\x5a') : QByteArray(1, '\0');
        uplink.data[0] = static_cast<char>(it->packet_type);
        SDeviceRegisterData batch;
        const bool kept = Decoder::decodeUplink(
            uplink, tpl, int32_t(size), [](uint32_t) { return SRegisterParam(); }, [](const QString &) {},
            batch);
        Fuzz::check(kept || batch.registers.isEmpty());
        for (const SRegisterValue &reg : batch.registers)
            Fuzz::check(!reg.value.isEmpty() && reg.value.size() <= 4);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = Fuzz::prepare();
    Q_UNUSED(ready)
    // One file, rewritten every run; in memory where the system offers it,
    // since disk writes would set the pace.
    static const QString base
        = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    static const QTemporaryDir dir(base + QStringLiteral("/fuzz_templatefile-XXXXXX"));
    Fuzz::check(dir.isValid());
    static const QString path = dir.filePath(QStringLiteral("fuzz.json"));
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    // Templates are the operator's files, read with plain fromJson, which
    // leaks what a repeated key drops (see serverlink/jsonguard.h); once per
    // file and start, that is not worth refusing such a file for.
    if (JsonGuard::repeatsContainerKey(bytes))
        return 0;
    {
        QFile file(path);
        Fuzz::check(file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                    && file.write(bytes) == bytes.size());
    }
    const TemplateLoader::SLoadedFile loaded
        = TemplateLoader::loadFile(path, QStringLiteral("fuzz.json"), [](const QString &) {});
    const SDeviceTemplate &tpl = loaded.deviceTemplate;
    if (!tpl.valid)
        return 0;
    checkTemplate(tpl);
    decodeEach(tpl, bytes);
    return 0;
}
