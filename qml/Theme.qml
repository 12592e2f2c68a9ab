pragma Singleton
import QtQuick
import Pivra.Platform

// The platform's named colours and text styles, light and dark.
QtObject {
    readonly property bool dark: Appearance.dark

    readonly property color windowBackground: dark ? "#323232" : "#ececec"
    readonly property color controlBackground: dark ? "#1e1e1e" : "#ffffff"
    readonly property color textBackground: dark ? "#1e1e1e" : "#ffffff"
    // The primary colour as a fill: black in light, white in dark.
    readonly property color primary: dark ? "#ffffff" : "#000000"
    readonly property color primaryText: dark ? Qt.rgba(1, 1, 1, 0.85) : Qt.rgba(0, 0, 0, 0.85)
    readonly property color secondaryText: dark ? Qt.rgba(1, 1, 1, 0.55) : Qt.rgba(0, 0, 0, 0.5)
    readonly property color tertiaryText: dark ? Qt.rgba(1, 1, 1, 0.25) : Qt.rgba(0, 0, 0, 0.26)
    readonly property color selection: dark ? "#3f638b" : "#b3d7ff"
    readonly property real cardFillOpacity: dark ? 0.45 : 0.6

    readonly property string monospace: Appearance.monospaceFamily

    function tint(name) {
        const tints = Appearance.tints
        return tints[name] !== undefined ? tints[name] : tints["gray"]
    }

    function faded(color, opacity) {
        return Qt.rgba(color.r, color.g, color.b, color.a * opacity)
    }

    function textStyle(name) {
        return name === "secondary" ? secondaryText
             : name === "tertiary" ? tertiaryText : primaryText
    }
}
