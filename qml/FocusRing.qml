import QtQuick

// The keyboard focus outline around a control.
Rectangle {
    anchors.fill: parent
    anchors.margins: -3
    radius: parent.radius + 3
    color: "transparent"
    border.width: 2
    border.color: Theme.faded(Theme.tint("blue"), 0.6)
}
