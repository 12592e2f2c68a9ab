import QtQuick

// A label over a monospaced value, as in the header's version and network chips.
Rectangle {
    id: chip
    property string label
    property string value
    property int labelValueSpacing: 2
    property int horizontalPadding: 10
    property int verticalPadding: 8
    property alias valueFont: valueText.font
    // Tiles let a long value take a second line; chips cut it short.
    property int valueLines: 1
    implicitWidth: Math.max(labelText.implicitWidth, valueText.implicitWidth) + 2 * horizontalPadding
    implicitHeight: column.implicitHeight + 2 * verticalPadding
    radius: 12
    color: Theme.faded(Theme.textBackground, 0.78)
    border.width: 1
    border.color: Theme.faded(Theme.primary, 0.06)
    Accessible.role: Accessible.StaticText
    Accessible.name: label + ": " + value

    Column {
        id: column
        x: chip.horizontalPadding
        y: chip.verticalPadding
        width: chip.width - 2 * chip.horizontalPadding
        spacing: chip.labelValueSpacing
        Text {
            id: labelText
            objectName: "label"
            textFormat: Text.PlainText
            width: parent.width
            text: chip.label.toUpperCase()
            elide: Text.ElideRight
            font.pixelSize: 9
            font.weight: Font.DemiBold
            color: Theme.secondaryText
        }
        Text {
            id: valueText
            objectName: "value"
            textFormat: Text.PlainText
            width: parent.width
            text: chip.value
            elide: Text.ElideRight
            wrapMode: chip.valueLines > 1 ? Text.Wrap : Text.NoWrap
            maximumLineCount: chip.valueLines
            font.pixelSize: 12
            font.weight: Font.DemiBold
            font.family: Theme.monospace
            color: Theme.primaryText
        }
    }
}
