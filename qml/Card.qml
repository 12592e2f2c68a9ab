import QtQuick
import QtQuick.Layouts

// The rounded container every panel section sits in.
Rectangle {
    id: card
    default property alias content: column.data
    property alias spacing: column.spacing
    Layout.fillWidth: true
    implicitHeight: column.implicitHeight + 24
    radius: 12
    color: Theme.faded(Theme.controlBackground, Theme.cardFillOpacity)
    border.width: 1
    border.color: Theme.faded(Theme.primary, 0.06)

    ColumnLayout {
        id: column
        x: 12
        y: 12
        width: card.width - 24
    }
}
