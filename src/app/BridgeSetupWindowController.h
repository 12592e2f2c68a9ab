#pragma once

#include <QObject>
#include <QPointer>
#include <QQuickWindow>

#include <functional>

class BridgeMenuBarStore;

// Keeps the setup window in front until the computer is ready to pair: shown once at every
// launch, brought forward again by every store change while not ready, and closable only when
// ready. The window is made on the first update and reused afterwards.
class BridgeSetupWindowController : public QObject
{
    Q_OBJECT

public:
    // `makeWindow` builds the window's content; the controller sets its title, size and
    // buttons.
    explicit BridgeSetupWindowController(std::function<QQuickWindow *()> makeWindow,
                                         QObject *parent = nullptr);
    ~BridgeSetupWindowController() override;

    void update(const BridgeMenuBarStore &store);

    QQuickWindow *window() const { return m_window; }
    bool didShowSetupWindow() const { return m_didShowSetupWindow; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void createWindow();
    void setClosable(bool closable);

    std::function<QQuickWindow *()> m_makeWindow;
    QPointer<QQuickWindow> m_window;
    bool m_didShowSetupWindow = false;
    // The close button is offered, and a close request honoured, only while ready.
    bool m_closable = false;
};
