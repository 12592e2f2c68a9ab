import QtQuick
import QtQuick.Layouts

// A chip that fills its grid cell, with a larger plain value.
MetricChip {
    labelValueSpacing: 3
    horizontalPadding: 12
    verticalPadding: 12
    valueFont.pixelSize: 13
    valueLines: 2
    valueFont.family: Qt.application.font.family
    Layout.fillWidth: true
    Layout.preferredWidth: 1
    // Both tiles of a row share its height when one value wraps.
    Layout.fillHeight: true
}
