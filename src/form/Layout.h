// The main window as both windows build it, the Qt one and the Win32 one:
// its controls with their parents, places, sizes, captions and initial
// state, how docked controls share their parent's room as the window is
// resized, the tab order, the log pane's menu and the indicator colours. One
// table, so that the two windows cannot drift apart; each toolkit only makes
// its own widget for each row.
#pragma once

#include "acquisition/ScanRecord.h"
#include "acquisition/Session.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kelvara {

enum class TControlKind { Panel, ListBox, Memo, GroupBox, ComboBox, Shape, Label, Edit, Button, CheckBox };

// Docking: a control docked right or at the top keeps its width or height
// and takes the parent's room along that side; siblings docked to the same
// side stack from the edge inwards in table order; a client-docked control
// fills what is left.
enum class TDock { None, Top, Right, Client };

struct TControlEntry {
    std::string_view Name;
    TControlKind Kind;
    std::string_view Parent; // empty: the window itself
    TDock Dock;
    int X, Y, Width, Height;  // in pixels, within the parent's client area
    std::string_view Caption; // caption, or initial text
    bool Visible = true;
    bool Enabled = true;
    // A label that sizes itself to its text: from X rightwards, or, when
    // right-anchored, leftwards from X + Width.
    bool AutoSize = false;
    bool RightAnchored = false;
    int Bevel = 0; // a panel's outer bevel, which its children stay inside
    // A combo box's items (comma text) and the one selected at start.
    std::string_view Items = {};
    int Selected = -1;
};

struct TRect {
    int X = 0, Y = 0, Width = 0, Height = 0;
    bool operator==(const TRect&) const = default;
};

struct TRgb {
    uint8_t R, G, B;
    bool operator==(const TRgb&) const = default;
};

// What a window shows once the session told how a connect went: the
// indicator's colour, and whether Run can be used (a Run that cannot is also
// set up).
struct TConnectShown {
    TRgb Indicator;
    bool RunEnabled;
};

struct TMenuEntry {
    std::string_view Name;
    std::string_view Caption;
};

class TFormLayout {
public:
    static constexpr std::string_view kCaption = "Kelvara";
    static constexpr int kClientWidth = 1284;
    static constexpr int kClientHeight = 701;
    static constexpr std::string_view kFontName = "Cousine";
    static constexpr int kFontPixels = 15;
    static constexpr int kListItemHeight = 17;

    // The indicator: white at start, green after a connect, grey after a
    // disconnect, and red while a port lost during a run is looked for.
    static constexpr TRgb kWhite{255, 255, 255};
    static constexpr TRgb kGreen{0, 255, 0};
    static constexpr TRgb kGrey{160, 160, 164};
    static constexpr TRgb kLost{255, 0, 0};
    // A reading-list line, or the alarm notice's line, of an alarm shown:
    // raised and not yet acknowledged, and (paler) acknowledged or cleared.
    // The text on the strong colour is white.
    static constexpr TRgb kAlarm{160, 32, 190};
    static constexpr TRgb kAlarmSeen{222, 190, 232};
    // The log pane's menu entry that edits the alarm rules, after the
    // three entries and a separator.
    static constexpr TMenuEntry kAlarmsEntry{"Alarms1", "Alarms…"};

    // Every control, parents before their children, siblings in the order
    // their docking stacks them. Below the spacer the column holds the
    // alarm notices (Label3, ListBox2): each alarm raised, cleared and
    // acknowledged, a line each, newest last.
    static const std::vector<TControlEntry>& Controls();
    static const TControlEntry& Control(std::string_view name);
    // The rectangle of every control of Controls(), in its parent's client
    // area, for a window whose client area is width × height. A hidden
    // control takes no room.
    static std::vector<TRect> Arrange(int width, int height);
    // The controls that take the focus, in tab order.
    static const std::vector<std::string_view>& TabOrder();
    // The log pane's popup menu.
    static const std::vector<TMenuEntry>& LogMenu();
    // A reading-list line's background for its channel's last scan: none
    // for a reading; a silent slave, a wrong reply and a reading out of the
    // table each in a colour that shows across a room.
    static std::optional<TRgb> StateColor(TChannelState state);
    // Nothing for a connect that left the indicator and Run as they were.
    static std::optional<TConnectShown> ConnectShown(TConnectResult::TKind kind);
    // An AutoSize label's rectangle for its text's size, kept at the edge it
    // is anchored to within the rectangle Arrange gave it.
    static TRect AutoSized(const TControlEntry& entry, const TRect& arranged, int textWidth, int textHeight);
};

} // namespace kelvara
