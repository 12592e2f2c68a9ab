import QtQuick

// What the windows' buttons share, on plain Qt Quick items: loading the Templates module to get
// this cost the setup window's first frame about 8 ms and its process 2.5 MiB.
Item {
    id: control
    property string text
    readonly property alias pressed: mouse.pressed
    readonly property alias hovered: mouse.containsMouse
    // The focus outline is for keyboard users; a click does not take the focus.
    readonly property bool visualFocus: activeFocus
    signal clicked()

    activeFocusOnTab: true
    Accessible.role: Accessible.Button
    Accessible.name: text
    Accessible.onPressAction: if (enabled) clicked()
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()
    Keys.onSpacePressed: clicked()

    MouseArea {
        id: mouse
        anchors.fill: parent
        hoverEnabled: true
        onClicked: control.clicked()
    }
}
