import QtQuick
import QtQuick.Layouts

// The panel: setup progress, bridge status, local discovery, the advanced controls and the
// messages of the last operations. Every text and colour comes from `store.presentation`; every
// button calls one store operation.
Item {
    id: root
    required property QtObject store
    required property QtObject host
    // The connection-address field's content; reaches the store only through Save or Defaults.
    property string relayDraft: ""
    property bool showsAdvanced: false

    readonly property var view: store.presentation
    readonly property var sections: view.sections
    function hasSection(name) {
        return sections.indexOf(name) >= 0
    }

    // Called whenever the window showing the panel appears.
    function appeared() {
        relayDraft = store.relayOverride
        store.renewView()
    }

    Connections {
        target: root.store
        function onRelayOverrideChanged() {
            root.relayDraft = root.store.relayOverride
        }
    }

    // Keep the control that takes keyboard focus in view, once the layout has settled.
    Connections {
        target: root.Window.window
        function onActiveFocusItemChanged() {
            Qt.callLater(root.revealFocusItem)
        }
    }

    function revealFocusItem() {
        const item = root.Window.window ? root.Window.window.activeFocusItem : null
        let ancestor = item ? item.parent : null
        while (ancestor && ancestor !== column)
            ancestor = ancestor.parent
        if (!ancestor)
            return
        const margin = 8
        const top = item.mapToItem(flick.contentItem, 0, 0).y - margin
        const bottom = item.mapToItem(flick.contentItem, 0, item.height).y + margin
        if (top < flick.contentY)
            flick.contentY = Math.max(0, top)
        else if (bottom > flick.contentY + flick.height)
            flick.contentY = Math.min(Math.max(0, flick.contentHeight - flick.height),
                                      bottom - flick.height)
    }

    Flickable {
        id: flick
        anchors.fill: parent
        contentWidth: width
        contentHeight: column.implicitHeight + 28
        boundsBehavior: Flickable.StopAtBounds
        clip: true
        // Cards that appear or grow can push the focused control out of view.
        onContentHeightChanged: Qt.callLater(root.revealFocusItem)

        ColumnLayout {
            id: column
            x: 14
            y: 14
            width: flick.width - 28
            spacing: 10

            // Header: the name, the bridge's state and three chips.
            Card {
                objectName: "section.header"
                spacing: 12
                RowLayout {
                    Layout.fillWidth: true
                    Text {
                        textFormat: Text.PlainText
                        text: "Pivra"
                        font.pixelSize: 15
                        font.weight: Font.DemiBold
                        color: Theme.primaryText
                        Accessible.role: Accessible.Heading
                        Accessible.name: text
                    }
                    Item { Layout.fillWidth: true }
                    StatusIndicator {
                        objectName: "statusIndicator"
                        dotSize: 7
                        spacing: 6
                        tint: root.view.statusTint
                        caption: root.view.currentStatusTitle
                    }
                }
                // Side by side at their own width; the spare room stays to their right.
                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8
                    Repeater {
                        model: ["Installed", "Latest", "Network"]
                        MetricChip {
                            objectName: "chip." + modelData
                            label: modelData
                            value: root.view.chips[index].value
                        }
                    }
                    Item { Layout.fillWidth: true }
                }
            }

            // Mac setup checklist.
            Card {
                objectName: "section.setup"
                spacing: 12
                RowLayout {
                    Layout.fillWidth: true
                    SectionTitle { title: "Mac Setup" }
                    Item { Layout.fillWidth: true }
                    StatusIndicator {
                        objectName: "setupIndicator"
                        dotSize: 6
                        spacing: 5
                        tint: root.view.setupTint
                        caption: root.view.setupStateTitle
                    }
                }
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 7
                    // A fixed set of rows bound by index: a model replaced on every store
                    // change would rebuild the rows while the layout arranges them.
                    Repeater {
                        model: ["Codex", "Mac Connector", "Connection", "Pairing"]
                        SetupChecklistRow {
                            readonly property var row: root.view.checklist[index] || {}
                            objectName: "checklist." + modelData
                            title: row.title || modelData
                            detail: row.detail || ""
                            complete: row.isComplete === true
                        }
                    }
                }
                FeedbackLine {
                    objectName: "setupStatusLine"
                    visible: root.view.setupProgress !== ""
                    text: root.view.setupProgress
                    tint: "blue"
                }
                CompactActionButton {
                    objectName: "setupButton"
                    title: root.view.setupButtonTitle
                    style: "primary"
                    enabled: !root.view.isPerformingAction
                    onClicked: root.store.runFirstRunSetup()
                }
            }

            // Bridge status tiles.
            LazySection {
                objectName: "section.status"
                visible: root.hasSection("status")
                sourceComponent: Card {
                    spacing: 10
                    SectionTitle { title: "Status" }
                    GridLayout {
                        Layout.fillWidth: true
                        columns: 2
                        columnSpacing: 10
                        rowSpacing: 10
                        Repeater {
                            model: ["Mac Service", "Connection", "Pairing", "Updated"]
                            StatusTile {
                                objectName: "tile." + modelData
                                label: modelData
                                value: root.view.tiles[index].value
                            }
                        }
                    }
                    LabelValueRow {
                        objectName: "statusNetwork"
                        label: "Network"
                        value: root.view.networkDescription
                    }
                }
            }

            // Local discovery of the pairing payload.
            LazySection {
                objectName: "section.pairing"
                visible: root.hasSection("pairing")
                sourceComponent: Card {
                    id: pairingCard
                    spacing: 8
                    readonly property var pairing: root.view.pairing
                    RowLayout {
                        Layout.fillWidth: true
                        SectionTitle { title: "Pairing" }
                        Item { Layout.fillWidth: true }
                        StatusIndicator {
                            objectName: "pairingIndicator"
                            visible: pairingCard.pairing.indicator !== ""
                            dotSize: 6
                            spacing: 5
                            upperCase: false
                            tint: pairingCard.pairing.indicatorTint || "gray"
                            caption: pairingCard.pairing.indicator
                        }
                    }
                    Text {
                        objectName: "pairingText"
                        textFormat: Text.PlainText
                        Layout.fillWidth: true
                        text: pairingCard.pairing.text
                        wrapMode: Text.Wrap
                        font.pixelSize: 11
                        color: pairingCard.pairing.textTint
                               ? Theme.tint(pairingCard.pairing.textTint)
                               : Theme.textStyle(pairingCard.pairing.textStyle)
                        Accessible.role: Accessible.StaticText
                        Accessible.name: text
                    }
                    LabelValueRow {
                        objectName: "pairingDiscovery"
                        visible: pairingCard.pairing.discovery !== ""
                        label: "Discovery"
                        value: pairingCard.pairing.discovery
                    }
                    LabelValueRow {
                        objectName: "pairingVisibleOn"
                        visible: pairingCard.pairing.visibleOn !== ""
                        label: "Interface"
                        value: pairingCard.pairing.visibleOn
                    }
                    LabelValueRow {
                        objectName: "pairingRenews"
                        visible: pairingCard.pairing.renews !== ""
                        label: "Renews"
                        value: pairingCard.pairing.renews
                    }
                }
            }

            // Advanced: connection address, controls and diagnostics.
            ColumnLayout {
                objectName: "section.advanced"
                visible: root.hasSection("advanced")
                Layout.fillWidth: true
                spacing: 8

                ButtonBase {
                    id: advancedToggle
                    objectName: "advancedToggle"
                    Layout.fillWidth: true
                    implicitHeight: toggleRow.implicitHeight + 4
                    Accessible.name: "Advanced"
                    Accessible.description: root.showsAdvanced ? "Expanded" : "Collapsed"
                    onClicked: root.showsAdvanced = !root.showsAdvanced
                    FocusRing {
                        radius: 4
                        visible: advancedToggle.visualFocus
                    }
                    RowLayout {
                        id: toggleRow
                        anchors.fill: parent
                        anchors.topMargin: 2
                        anchors.bottomMargin: 2
                        SectionTitle { title: "Advanced" }
                        Item { Layout.fillWidth: true }
                        SymbolIcon {
                            objectName: "chevron"
                            name: root.showsAdvanced ? "chevron.up" : "chevron.down"
                            size: 10
                            color: Theme.secondaryText
                        }
                    }
                }

                LazySection {
                    objectName: "section.connection"
                    visible: root.showsAdvanced
                    sourceComponent: Card {
                        spacing: 10
                        SectionTitle { title: "Connection Address" }
                        Text {
                            textFormat: Text.PlainText
                            Layout.fillWidth: true
                            text: "Optional. Leave empty to use the saved Mac connection."
                            wrapMode: Text.Wrap
                            font.pixelSize: 11
                            color: Theme.secondaryText
                        }
                        // A bare text input: the Templates' field is not worth loading its
                        // module for.
                        Rectangle {
                            Layout.fillWidth: true
                            implicitHeight: relayField.implicitHeight
                            radius: 6
                            color: Theme.faded(Theme.textBackground, 0.82)
                            border.width: 1
                            border.color: Theme.faded(Theme.primary, 0.08)
                            FocusRing { visible: relayField.activeFocus }
                            TextInput {
                                id: relayField
                                objectName: "relayField"
                                anchors.fill: parent
                                text: root.relayDraft
                                onTextEdited: root.relayDraft = text
                                font.pixelSize: 12
                                color: Theme.primaryText
                                selectionColor: Theme.selection
                                selectedTextColor: Theme.primaryText
                                leftPadding: 8
                                rightPadding: 8
                                topPadding: 6
                                bottomPadding: 6
                                selectByMouse: true
                                activeFocusOnTab: true
                                clip: true
                                verticalAlignment: TextInput.AlignVCenter
                                Accessible.role: Accessible.EditableText
                                Accessible.name: "Connection Address"
                                Text {
                                    textFormat: Text.PlainText
                                    x: relayField.leftPadding
                                    y: relayField.topPadding
                                    width: relayField.width - relayField.leftPadding
                                           - relayField.rightPadding
                                    height: relayField.height - relayField.topPadding
                                            - relayField.bottomPadding
                                    text: "ws://127.0.0.1:9000/relay"
                                    font: relayField.font
                                    color: Theme.tertiaryText
                                    verticalAlignment: Text.AlignVCenter
                                    elide: Text.ElideRight
                                    visible: relayField.length === 0
                                             && relayField.preeditText === ""
                                    Accessible.ignored: true
                                }
                            }
                        }
                        RowLayout {
                            Layout.fillWidth: true
                            spacing: 6
                            CompactActionButton {
                                objectName: "saveRelay"
                                title: "Save"
                                style: "primary"
                                onClicked: root.store.saveRelayOverride(root.relayDraft)
                            }
                            CompactActionButton {
                                objectName: "clearRelay"
                                title: "Defaults"
                                onClicked: {
                                    root.relayDraft = ""
                                    root.store.clearRelayOverride()
                                }
                            }
                        }
                    }
                }

                LazySection {
                    objectName: "section.controls"
                    visible: root.showsAdvanced
                    sourceComponent: Card {
                        spacing: 8
                        SectionTitle { title: "Controls" }
                        RowLayout {
                            Layout.fillWidth: true
                            spacing: 6
                            CompactActionButton {
                                objectName: "start"
                                title: "Start"
                                style: "primary"
                                onClicked: root.store.startBridge()
                            }
                            CompactActionButton {
                                objectName: "stop"
                                title: "Stop"
                                style: "destructive"
                                onClicked: root.store.stopBridge()
                            }
                            CompactActionButton {
                                objectName: "resume"
                                title: "Resume"
                                onClicked: root.store.resumeLastThread()
                            }
                        }
                        RowLayout {
                            Layout.fillWidth: true
                            spacing: 6
                            CompactActionButton {
                                objectName: "controlsRefresh"
                                title: "Refresh"
                                onClicked: root.store.requestRefresh()
                            }
                            CompactActionButton {
                                objectName: "resetPairing"
                                title: "Reset Pair"
                                style: "destructive"
                                onClicked: root.store.resetPairing()
                            }
                            CompactActionButton {
                                objectName: "update"
                                title: "Update"
                                style: "primary"
                                visible: root.view.updateAvailable
                                onClicked: root.store.updateBridgePackage()
                            }
                        }
                    }
                }

                LazySection {
                    objectName: "section.diagnostics"
                    visible: root.showsAdvanced
                    sourceComponent: Card {
                        spacing: 8
                        SectionTitle { title: "Diagnostics" }
                        Repeater {
                            model: ["stdoutLog", "stderrLog"]
                            LabelValueRow {
                                readonly property var path: root.view.logPaths[index]
                                objectName: modelData
                                visible: !!path
                                label: path ? path.label : ""
                                value: path ? path.value : ""
                            }
                        }
                        RowLayout {
                            Layout.fillWidth: true
                            spacing: 6
                            CompactActionButton {
                                objectName: "openFolder"
                                title: "Folder"
                                onClicked: root.store.openLogsFolder()
                            }
                            CompactActionButton {
                                objectName: "openOutput"
                                title: "Output"
                                onClicked: root.store.openStdoutLog()
                            }
                            CompactActionButton {
                                objectName: "openErrors"
                                title: "Errors"
                                onClicked: root.store.openStderrLog()
                            }
                        }
                    }
                }
            }

            // Messages of the last operations.
            LazySection {
                objectName: "section.feedback"
                visible: root.hasSection("feedback")
                sourceComponent: Card {
                    spacing: 6
                    SectionTitle { title: "Feedback" }
                    // At most four lines: the success text, the error, the bridge's last error and
                    // the update check's error.
                    Repeater {
                        model: 4
                        FeedbackLine {
                            readonly property var line: root.view.feedback[index] || null
                            objectName: "feedback." + index
                            visible: line !== null
                            text: line ? line.text : ""
                            tint: line ? line.tint : "gray"
                        }
                    }
                }
            }

            // Footer: quit and refresh.
            RowLayout {
                objectName: "section.footer"
                Layout.fillWidth: true
                spacing: 8
                CompactActionButton {
                    objectName: "quit"
                    title: "Quit Pivra"
                    Layout.preferredWidth: 1
                    onClicked: root.host.quit()
                }
                Item {
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                }
                CompactActionButton {
                    objectName: "footerRefresh"
                    title: "Refresh"
                    Layout.preferredWidth: 1
                    enabled: !root.view.isPerformingAction
                    onClicked: root.store.requestRefresh()
                }
            }
        }
    }

    // Shown while the content overflows; its handle drags the content.
    Rectangle {
        objectName: "scrollBar"
        readonly property real track: root.height - 4
        visible: flick.contentHeight > flick.height
        x: root.width - 7
        y: 2 + flick.visibleArea.yPosition * track
        width: 5
        height: flick.visibleArea.heightRatio * track
        radius: 2.5
        color: Theme.faded(Theme.primary, 0.25)
        MouseArea {
            property real pressY
            property real pressContentY
            anchors.fill: parent
            anchors.margins: -2
            onPressed: mouse => {
                pressY = mapToItem(root, 0, mouse.y).y
                pressContentY = flick.contentY
            }
            onPositionChanged: mouse => {
                const moved = (mapToItem(root, 0, mouse.y).y - pressY) * flick.contentHeight
                              / parent.track
                flick.contentY = Math.max(0, Math.min(flick.contentHeight - flick.height,
                                                      pressContentY + moved))
            }
        }
    }
}
