import QtQuick
import QtQuick.Layouts

// The panel's button: a small rounded block, full width, in one of three styles.
ButtonBase {
    id: control
    // "primary", "secondary" or "destructive".
    property string style: "secondary"
    property alias title: control.text

    Layout.fillWidth: true
    implicitWidth: label.implicitWidth + 16
    implicitHeight: label.implicitHeight + 14
    opacity: enabled ? 1 : 0.4

    readonly property color textColor: style === "primary" ? Theme.windowBackground
                                     : style === "destructive" ? Theme.tint("red")
                                     : Theme.primaryText

    Rectangle {
        anchors.fill: parent
        radius: 8
        color: control.style === "primary" ? Theme.primary
                                            : Theme.faded(Theme.textBackground, 0.5)
        border.width: control.style === "primary" ? 0 : 1
        border.color: control.style === "destructive" ? Theme.faded(Theme.tint("red"), 0.15)
                                                      : Theme.faded(Theme.primary, 0.06)

        // Pressed and hovered feedback, over any fill.
        Rectangle {
            anchors.fill: parent
            radius: parent.radius
            color: control.style === "primary" ? Theme.windowBackground : Theme.primary
            opacity: control.pressed ? 0.16 : control.hovered ? 0.06 : 0
        }
        FocusRing {
            visible: control.visualFocus
        }
    }

    Text {
        id: label
        textFormat: Text.PlainText
        anchors.fill: parent
        anchors.leftMargin: 6
        anchors.rightMargin: 6
        text: control.text
        font.pixelSize: 11
        font.weight: Font.Medium
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        color: control.textColor
    }
}
