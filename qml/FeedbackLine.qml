import QtQuick
import QtQuick.Layouts

// A message with a coloured dot beside its first line.
RowLayout {
    id: line
    property string text
    property string tint: "gray"
    spacing: 8
    Layout.fillWidth: true
    Accessible.role: Accessible.StaticText
    Accessible.name: text

    Rectangle {
        objectName: "dot"
        Layout.alignment: Qt.AlignTop
        Layout.topMargin: Math.max(0, Math.round((metrics.height - height) / 2))
        implicitWidth: 6
        implicitHeight: 6
        radius: 3
        color: Theme.tint(line.tint)
    }
    Text {
        id: message
        objectName: "text"
        textFormat: Text.PlainText
        Layout.fillWidth: true
        text: line.text
        wrapMode: Text.Wrap
        font.pixelSize: 11
        color: Theme.secondaryText
    }
    FontMetrics {
        id: metrics
        font: message.font
    }
}
