// Feeds arbitrary bytes to the readers of what the bridge tool and npm print: text status lines
// and the values in them, version output, nvm version-directory names and their ordering.
#include "BridgeControlService.h"

#include <cstddef>
#include <cstdint>

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

int sign(ComparisonResult result)
{
    return int(result);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString text = QString::fromUtf8(bytes);

    const QMap<QString, QString> lines = BridgeControlService::parseStatusLines(text);
    for (auto it = lines.cbegin(); it != lines.cend(); ++it) {
        check(it.key() == it.key().trimmed().toLower());
        check(it.value() == it.value().trimmed());
        if (const auto pid = BridgeControlService::parsePid(it.value()))
            check(BridgeControlService::parsePid(QString::number(*pid)) == pid);
        (void)BridgeControlService::parseYesNo(it.value());
    }
    (void)BridgeControlService::parsePid(text);
    (void)BridgeControlService::parseYesNo(text);

    if (const auto version = BridgeControlService::parseLatestVersion(text))
        check(!version->isEmpty());
    else
        check(text.trimmed().isEmpty());

    // Two names from one input: the ordering must be antisymmetric and reflexive.
    const qsizetype half = text.size() / 2;
    const QString left = text.first(half), right = text.sliced(half);
    if (const auto components = BridgeControlService::parseVersionDirectoryName(left)) {
        check(!components->isEmpty());
        check(BridgeControlService::compareVersionComponents(*components, *components)
              == ComparisonResult::Same);
    }
    check(sign(BridgeControlService::compareVersionDirectoryNames(left, right))
          == -sign(BridgeControlService::compareVersionDirectoryNames(right, left)));
    check(BridgeControlService::compareVersionDirectoryNames(left, left) == ComparisonResult::Same);
    return 0;
}
