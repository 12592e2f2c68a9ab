import QtQuick
import QtQuick.Layouts

// A small upper-case label over a monospaced value the user can select and copy.
Column {
    id: row
    property string label
    property string value
    spacing: 2
    Layout.fillWidth: true
    Accessible.role: Accessible.StaticText
    Accessible.name: label + ": " + value

    Text {
        objectName: "label"
        textFormat: Text.PlainText
        width: row.width
        text: row.label.toUpperCase()
        font.pixelSize: 9
        font.weight: Font.DemiBold
        color: Theme.tertiaryText
    }
    TextEdit {
        objectName: "value"
        textFormat: TextEdit.PlainText
        width: row.width
        text: row.value
        readOnly: true
        selectByMouse: true
        selectByKeyboard: true
        wrapMode: TextEdit.WrapAnywhere
        font.pixelSize: 10
        font.family: Theme.monospace
        color: Theme.primaryText
        selectionColor: Theme.selection
        selectedTextColor: Theme.primaryText
        Accessible.role: Accessible.EditableText
        Accessible.name: row.label
        Accessible.readOnly: true
    }
}
