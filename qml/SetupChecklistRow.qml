import QtQuick
import QtQuick.Layouts

// One step of the setup: a check mark when done, an empty circle otherwise.
RowLayout {
    id: row
    property string title
    property string detail
    property bool complete
    spacing: 8
    Layout.fillWidth: true
    Accessible.role: Accessible.CheckBox
    Accessible.name: title
    Accessible.description: detail
    Accessible.checked: complete
    Accessible.checkable: false

    Item {
        Layout.alignment: Qt.AlignTop
        implicitWidth: 14
        implicitHeight: titleText.implicitHeight
        SymbolIcon {
            objectName: "mark"
            anchors.centerIn: parent
            size: 12
            name: row.complete ? "checkmark.circle.fill" : "circle"
            color: row.complete ? Theme.tint("green") : Theme.secondaryText
        }
    }
    Column {
        Layout.alignment: Qt.AlignTop
        Layout.fillWidth: true
        spacing: 2
        Text {
            id: titleText
            objectName: "title"
            textFormat: Text.PlainText
            width: parent.width
            text: row.title
            font.pixelSize: 12
            font.weight: Font.DemiBold
            color: Theme.primaryText
        }
        Text {
            objectName: "detail"
            textFormat: Text.PlainText
            width: parent.width
            text: row.detail
            wrapMode: Text.Wrap
            font.pixelSize: 10
            color: Theme.secondaryText
        }
    }
}
