import QtQuick
import QtQuick.Layouts

// A panel section built the first time it shows and kept from then on: most sections are
// hidden when a window first appears, and building them up front only delays its first frame.
Loader {
    Layout.fillWidth: true
    active: false
    onVisibleChanged: if (visible) active = true
    Component.onCompleted: if (visible) active = true
}
