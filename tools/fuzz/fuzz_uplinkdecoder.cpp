// Decodes arbitrary payloads with templates whose fields point anywhere,
// including past the payload and before it: the decoder must never read
// outside the payload, and every register text it produces is 1 to 4
// characters long.

#include "devices/uplinkdecoder.h"
#include "tools/fuzz/fuzzsupport.h"

#include <QJsonArray>

#include <algorithm>
#include <cstdint>

namespace {

SDeviceTemplate templateFrom(const uint8_t *data, size_t count)
{
    static const char *const types[] = { "integer", "uinteger", "text", "boolean" };
    QJsonArray fields;
    for (size_t i = 0; i + 3 < count && fields.size() < 8; i += 4) {
        fields.append(QJsonObject { { "packet_bias", int(int8_t(data[i])) },
                                    { "data_bit_bias", int(data[i + 1] % 3) * 8 },
                                    { "data_bit_size", int(data[i + 2] % 72) },
                                    { "data_type", types[data[i + 3] % 4] },
                                    { "reg_map_bias", int(i) },
                                    { "reg_bit_bias", 0 },
                                    { "reg_bit_size", 16 * (1 + data[i + 3] % 4) },
                                    { "data_name", QStringLiteral("F%1").arg(i) } });
    }
    QJsonArray server { QJsonObject { { "data_code", "gatewayId" },
                                      { "reg_map_bias", 100 },
                                      { "reg_bit_bias", 0 },
                                      { "reg_bit_size", int(count % 80) },
                                      { "data_name", "G" } } };
    return SDeviceTemplate(
        QJsonObject { { "app_eui", "A1B2C3D400000001" },
                      { "dev_type", "Fuzz" },
                      { "server_data", server },
                      { "device_packets",
                        QJsonArray { QJsonObject {
                            { "packet_type", 1 }, { "packet_size", 0 }, { "packet_fields", fields } } } } });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = Fuzz::prepare();
    Q_UNUSED(ready)
    if (size < 2)
        return 0;
    // First byte: how many bytes describe fields; the rest is the payload.
    const size_t fieldBytes = std::min<size_t>(data[0] % 33, size - 1);
    SDeviceTemplate tpl = templateFrom(data + 1, fieldBytes);
    if (!tpl.valid)
        return 0;
    API::SApiDeviceData uplink;
    uplink.devEui = QStringLiteral("0011223344550001");
    uplink.gatewayId = QString::fromLatin1(reinterpret_cast<const char *>(data + 1), int(fieldBytes));
    // The payload on its own allocation, apart from the template bytes.
    uplink.data
        = QByteArray(reinterpret_cast<const char *>(data + 1 + fieldBytes), int(size - 1 - fieldBytes));
    if (!uplink.data.isEmpty())
        uplink.data[0] = 1;
    tpl.device_packets[1].packet_size = uplink.data.size();

    SDeviceRegisterData batch;
    Decoder::decodeUplink(
        uplink, tpl, 0, [](uint32_t) { return SRegisterParam(); }, [](const QString &) {}, batch);
    for (const SRegisterValue &reg : batch.registers)
        Fuzz::check(!reg.value.isEmpty() && reg.value.size() <= 4);
    return 0;
}
