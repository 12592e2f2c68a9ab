#include "HeadlessCommand.h"

HeadlessCommand HeadlessCommand::parse(QStringView line)
{
    const QStringView text = line.trimmed();
    qsizetype blank = 0;
    while (blank < text.size() && !text[blank].isSpace())
        ++blank;
    if (blank == text.size())
        return {text.toString(), {}};
    return {text.first(blank).toString(), text.sliced(blank + 1).toString()};
}

HeadlessLineSplitter::HeadlessLineSplitter(qsizetype limit)
    : m_limit(limit)
{
}

QList<HeadlessLineSplitter::Line> HeadlessLineSplitter::feed(QByteArrayView bytes)
{
    QList<Line> lines;
    while (!bytes.isEmpty()) {
        const qsizetype end = bytes.indexOf('\n');
        const QByteArrayView piece = end < 0 ? bytes : bytes.first(end);
        const qsizetype room = m_limit - m_line.size();
        if (piece.size() > room)
            m_overlong = true;
        if (!m_overlong)
            m_line += piece;
        if (end < 0)
            break;
        lines.append({m_overlong ? QByteArray() : m_line, m_overlong});
        m_line.clear();
        m_overlong = false;
        bytes = bytes.sliced(end + 1);
    }
    return lines;
}

std::optional<HeadlessLineSplitter::Line> HeadlessLineSplitter::finish()
{
    if (m_line.isEmpty() && !m_overlong)
        return std::nullopt;
    Line last{m_overlong ? QByteArray() : m_line, m_overlong};
    m_line.clear();
    m_overlong = false;
    return last;
}
