import QtQuick

// A card's heading: upper case, small, monospaced, tertiary.
Text {
    textFormat: Text.PlainText
    property string title
    text: title.toUpperCase()
    font.pixelSize: 10
    font.weight: Font.DemiBold
    font.family: Theme.monospace
    color: Theme.tertiaryText
    Accessible.role: Accessible.Heading
    Accessible.name: title
}
