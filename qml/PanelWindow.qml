import QtQuick
import QtQuick.Window

// The panel that opens from the tray icon, or as a window of its own without a tray.
Window {
    id: window
    required property QtObject store
    required property QtObject host
    // Frameless beside the tray icon; the outline takes the place of a window frame.
    property bool popup: true
    title: "Pivra"
    color: Theme.windowBackground

    BridgeMenuBarContentView {
        id: content
        objectName: "panelContent"
        anchors.fill: parent
        store: window.store
        host: window.host
    }

    Rectangle {
        anchors.fill: parent
        visible: window.popup
        color: "transparent"
        border.width: 1
        border.color: Theme.faded(Theme.primary, 0.18)
    }

    Shortcut {
        sequence: "Escape"
        onActivated: window.host.dismissPanel()
    }

    onVisibleChanged: if (visible) content.appeared()
}
