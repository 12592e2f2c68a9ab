import QtQuick

// A coloured dot and a caption: the header status, the setup state and the pairing state.
Row {
    id: indicator
    property string tint: "gray"
    property string caption
    property real dotSize: 6
    property bool upperCase: true
    spacing: 5
    Accessible.role: Accessible.StaticText
    Accessible.name: caption

    Rectangle {
        objectName: "dot"
        anchors.verticalCenter: parent.verticalCenter
        width: indicator.dotSize
        height: indicator.dotSize
        radius: width / 2
        color: Theme.tint(indicator.tint)
    }
    Text {
        objectName: "caption"
        textFormat: Text.PlainText
        anchors.verticalCenter: parent.verticalCenter
        text: indicator.upperCase ? indicator.caption.toUpperCase() : indicator.caption
        font.pixelSize: 9
        font.weight: Font.DemiBold
        font.family: Theme.monospace
        color: Theme.secondaryText
    }
}
