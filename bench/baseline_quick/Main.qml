import QtQuick

Rectangle {
    color: "#ececec"

    Text {
        x: 16
        y: 16
        text: "Keep this window open until setup finishes."
    }
}
