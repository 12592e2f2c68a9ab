import QtQuick

Rectangle {
    width: 390
    height: 640
    color: "#ececec"
}
