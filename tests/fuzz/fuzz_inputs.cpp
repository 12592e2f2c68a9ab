// Feeds arbitrary bytes to the readers of what reaches the app from outside besides the
// bridge's documents: a launch agent property list, and the headless front end's input stream
// with the commands in it.
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

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
