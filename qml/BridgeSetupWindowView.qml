import QtQuick
import QtQuick.Layouts

// The setup window's content: a header that says whether the computer is ready, over the panel.
Item {
    id: root
    required property QtObject store
    required property QtObject host
    readonly property alias content: panel

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        RowLayout {
            objectName: "setupHeader"
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.topMargin: 16
            Layout.bottomMargin: 8
            spacing: 8

            Column {
                Layout.alignment: Qt.AlignVCenter
                spacing: 3
                Text {
                    objectName: "setupTitle"
                    textFormat: Text.PlainText
                    text: "Pivra Setup"
                    font.pixelSize: 16
                    font.weight: Font.DemiBold
                    color: Theme.primaryText
                    Accessible.role: Accessible.Heading
                    Accessible.name: text
                }
                Text {
                    objectName: "setupSubtitle"
                    textFormat: Text.PlainText
                    text: root.store.presentation.setupWindowSubtitle
                    font.pixelSize: 11
                    color: Theme.secondaryText
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
            }
            Item { Layout.fillWidth: true }
            // Without a system tray this is the way to the panel as a window of its own.
            CompactActionButton {
                objectName: "openPanel"
                visible: !root.host.trayAvailable
                Layout.fillWidth: false
                title: "Open Panel"
                onClicked: root.host.openPanel()
            }
            ButtonBase {
                id: done
                objectName: "done"
                visible: root.store.presentation.isSetupReady
                text: "Done"
                implicitWidth: doneLabel.implicitWidth + 28
                implicitHeight: doneLabel.implicitHeight + 8
                // Closes the window it sits in: the setup window, now that it may close.
                onClicked: root.Window.window.close()
                Rectangle {
                    anchors.fill: parent
                    radius: 6
                    color: done.pressed ? Qt.darker(Theme.tint("blue"), 1.15) : Theme.tint("blue")
                    FocusRing { visible: done.visualFocus }
                }
                Text {
                    id: doneLabel
                    textFormat: Text.PlainText
                    anchors.centerIn: parent
                    text: done.text
                    font.pixelSize: 13
                    font.weight: Font.Medium
                    color: "#ffffff"
                }
            }
        }

        BridgeMenuBarContentView {
            id: panel
            objectName: "setupPanel"
            Layout.fillWidth: true
            Layout.fillHeight: true
            store: root.store
            host: root.host
        }
    }
}
