import QtQuick
import QtQuick.Window

// One of the app's single-colour symbols, drawn at the exact device pixel size.
Image {
    id: symbol
    property string name
    property color color: Theme.primaryText
    property real size: 12
    width: size
    height: size
    readonly property real ratio: Screen.devicePixelRatio > 0 ? Screen.devicePixelRatio : 1
    sourceSize: Qt.size(Math.round(size * ratio), Math.round(size * ratio))
    // The colour travels as bare hex digits: a "#" would start the URL's fragment.
    source: name === "" ? "" : "image://symbol/" + name + "/" + color.toString().substring(1)
    smooth: true
    // Each icon is drawn once per colour and size; a pixmap cache here only keeps a timer
    // waking the idle app to expire the ones no longer shown.
    cache: false
    Accessible.ignored: true
}
