// Feeds arbitrary bytes to every reader of the bridge's documents: the status document, the
// three state files, the timestamps inside them and the relay address classifier.
#include "BridgeControlModels.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    if (const auto snapshot = decodeRecord<BridgeSnapshot>(bytes)) {
        // What decodes must survive the headless encoding unchanged.
        if (BridgeSnapshot::fromJson(snapshot->toJson()) != snapshot)
            __builtin_trap();
        (void)snapshot->statusFootnote();
        (void)snapshot->relayCandidate();
        (void)snapshot->pairingCreatedDate();
    }
    (void)decodeRecord<BridgeDaemonConfig>(bytes);
    (void)decodeRecord<BridgeRuntimeStatus>(bytes);
    (void)decodeRecord<BridgePairingSession>(bytes);

    const QString text = QString::fromUtf8(bytes);
    if (const auto date = parseBridgeTimestamp(text); date && !date->isValid())
        __builtin_trap();
    (void)classifyRelay(text);
    (void)parseDecimalInteger(text);
    (void)nonEmptyTrimmed(text);
    return 0;
}
