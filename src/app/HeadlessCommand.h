#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// One line of the headless front end's input, split into its command word and the rest of the
// line. A line from another system may end in CR; blanks around it mean nothing.
struct HeadlessCommand
{
    QString name;
    QString argument; // the rest of the line after the first blank, as typed

    static HeadlessCommand parse(QStringView line);
};

// Cuts the input stream into lines. A line longer than the limit is no command: it is dropped
// (and reported), and reading goes on after it, so the reader never holds more than the limit.
class HeadlessLineSplitter
{
public:
    struct Line
    {
        QByteArray text;
        bool overlong = false; // dropped: longer than the limit
    };

    static constexpr qsizetype defaultLimit = 64 * 1024;
    explicit HeadlessLineSplitter(qsizetype limit = defaultLimit);

    // The lines `bytes` completes.
    QList<Line> feed(QByteArrayView bytes);
    // The last line, at the end of the input, even without its line break.
    std::optional<Line> finish();

private:
    qsizetype m_limit;
    QByteArray m_line;
    bool m_overlong = false;
};
