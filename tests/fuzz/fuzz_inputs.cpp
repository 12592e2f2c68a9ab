// Feeds arbitrary bytes to the readers of what reaches the app from outside besides the
// bridge's documents: what the tool and npm print (text status lines and their values, version
// output, nvm version-directory names and their ordering), a launch agent property list, and
// the headless front end's input stream with the commands in it.
#include "BridgeControlService.h"
#include "HeadlessCommand.h"

#include <cstddef>
#include <cstdint>

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void checkToolOutput(const QString &text)
{
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
    const QString left = text.first(text.size() / 2), right = text.sliced(text.size() / 2);
    if (const auto components = BridgeControlService::parseVersionDirectoryName(left)) {
        check(!components->isEmpty());
        check(BridgeControlService::compareVersionComponents(*components, *components)
              == ComparisonResult::Same);
    }
    check(int(BridgeControlService::compareVersionDirectoryNames(left, right))
          == -int(BridgeControlService::compareVersionDirectoryNames(right, left)));
    check(BridgeControlService::compareVersionDirectoryNames(left, left) == ComparisonResult::Same);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    checkToolOutput(QString::fromUtf8(bytes));

    if (const auto directory = BridgeControlService::launchAgentStateDirectory(bytes))
        check(directory->startsWith(u'/'));

    // A small limit, so that overlong lines are reached; fed in two pieces, as reads arrive.
    HeadlessLineSplitter splitter(64);
    QList<HeadlessLineSplitter::Line> lines = splitter.feed(bytes.first(bytes.size() / 2));
    lines += splitter.feed(bytes.sliced(bytes.size() / 2));
    if (const auto last = splitter.finish())
        lines.append(*last);
    for (const HeadlessLineSplitter::Line &line : lines) {
        check(line.text.size() <= 64 && !line.text.contains('\n'));
        check(!line.overlong || line.text.isEmpty());
        const HeadlessCommand command = HeadlessCommand::parse(QString::fromUtf8(line.text));
        check(command.name == command.name.trimmed());
        check(!command.name.contains(u' ') && !command.name.contains(u'\t'));
        check(command.argument.isEmpty() || !command.name.isEmpty());
    }
    return 0;
}
