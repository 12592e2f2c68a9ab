import QtQuick
import QtQuick.Window

Window {
    id: window
    required property QtObject store
    required property QtObject host
    title: "Pivra Setup"
    color: Theme.windowBackground

    BridgeSetupWindowView {
        id: view
        anchors.fill: parent
        store: window.store
        host: window.host
    }

    onVisibleChanged: if (visible) view.content.appeared()
}
