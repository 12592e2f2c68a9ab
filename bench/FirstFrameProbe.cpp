// Loaded with LD_PRELOAD into a Qt Quick program under measurement, so the app and the baseline
// are timed by the same code and neither needs a hook of its own: when the first frame of a
// window titled $PIVRA_PROBE_TITLE (any Qt Quick window when unset) has been swapped, writes
//   pivra-probe first-frame <CLOCK_MONOTONIC nanoseconds>
// to standard error, and before that, when the application object is made and when that window
// is first exposed,
//   pivra-probe application <CLOCK_MONOTONIC nanoseconds>
//   pivra-probe expose <CLOCK_MONOTONIC nanoseconds>
// which split the time into loading the libraries, the program's own start-up, and rendering
// the first frame; with the first frame it also writes the processor time the process had used
// by then (all its threads), which other load on the machine disturbs far less than the clock:
//   pivra-probe cpu <CLOCK_PROCESS_CPUTIME_ID nanoseconds>
#include <QCoreApplication>
#include <QEvent>
#include <QQuickWindow>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

// Async-signal-safe and free of Qt, as it runs on the render thread.
void writeInstant(const char *what, clockid_t clock = CLOCK_MONOTONIC)
{
    timespec now{};
    clock_gettime(clock, &now);
    char line[96];
    const int length
        = std::snprintf(line, sizeof line, "pivra-probe %s %lld\n", what,
                        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    if (length > 0)
        (void)!::write(STDERR_FILENO, line, size_t(length));
}

class FirstFrameProbe : public QObject
{
public:
    explicit FirstFrameProbe(QString title, QObject *parent)
        : QObject(parent)
        , m_title(std::move(title))
    {
    }

protected:
    // Sees every event of the main thread before its receiver does: a window's first expose
    // comes before its first frame is rendered, and its title is set by then.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Expose || m_armed)
            return false;
        auto *window = qobject_cast<QQuickWindow *>(watched);
        if (!window || (!m_title.isEmpty() && window->title() != m_title))
            return false;
        m_armed = true;
        writeInstant("expose");
        // frameSwapped comes from the render thread when the threaded loop runs: the instant is
        // taken there.
        connect(window, &QQuickWindow::frameSwapped, this, &FirstFrameProbe::report,
                Qt::DirectConnection);
        return false;
    }

private:
    void report()
    {
        if (!m_reported.exchange(true)) {
            writeInstant("cpu", CLOCK_PROCESS_CPUTIME_ID);
            writeInstant("first-frame");
        }
    }

    const QString m_title;
    bool m_armed = false;
    std::atomic<bool> m_reported = false;
};

void installFirstFrameProbe()
{
    writeInstant("application");
    // The programs measured start login shells and node; those must not load Qt through this.
    qunsetenv("LD_PRELOAD");
    QCoreApplication *application = QCoreApplication::instance();
    application->installEventFilter(
        new FirstFrameProbe(qEnvironmentVariable("PIVRA_PROBE_TITLE"), application));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installFirstFrameProbe)
