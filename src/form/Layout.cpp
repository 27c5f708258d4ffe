#include "form/Layout.h"

#include "base/Errors.h"

#include <string>

namespace kelvara {

namespace {

using K = TControlKind;
using D = TDock;

std::vector<TControlEntry> MakeControls()
{
    std::vector<TControlEntry> c = {
        {"Panel2", K::Panel, "", D::Client, 0, 0, 1284, 701, ""},
        {"Panel4", K::Panel, "Panel2", D::Client, 0, 0, 1284, 701, ""},
        // The control column is docked right of the reading list.
        {"Panel5", K::Panel, "Panel4", D::Right, 1024, 0, 260, 701, ""},
        {"ListBox1", K::ListBox, "Panel4", D::Right, 848, 0, 176, 701, ""},
        {"Memo1", K::Memo, "Panel4", D::Client, 0, 0, 848, 701, ""},
        {"GroupBox1", K::GroupBox, "Panel5", D::Top, 1, 1, 258, 80, "Port"},
        {"GroupBox2", K::GroupBox, "Panel5", D::Top, 1, 81, 258, 208, " Monitor "},
        {"Panel1", K::Panel, "Panel5", D::Top, 1, 289, 258, 41, ""},
        {"Memo2", K::Memo, "Panel5", D::Top, 1, 330, 258, 199, "", false, false},
        {"Memo3", K::Memo, "Panel5", D::Client, 1, 529, 258, 171, "", false, false},
        // The column's room below the spacer, which the hidden holders leave.
        {"Label3", K::Label, "Panel5", D::Top, 1, 330, 258, 22, "Alarms:"},
        {"ListBox2", K::ListBox, "Panel5", D::Client, 1, 352, 258, 348, ""},
        {"ComCBox", K::ComboBox, "GroupBox1", D::None, 95, 24, 120, 25, "PortName"},
        {"shConnect", K::Shape, "GroupBox1", D::None, 224, 24, 6, 25, ""},
        {"cbxBaud", K::ComboBox, "GroupBox1", D::None, 93, 112, 120, 25, "19200", false, false},
        {"cbxParity", K::ComboBox, "GroupBox1", D::None, 93, 81, 120, 25, "even", false, false},
        {"Label1", K::Label, "GroupBox2", D::None, 25, 35, 0, 0, "Period:"},
        {"ePeriod", K::Edit, "GroupBox2", D::None, 94, 32, 121, 25, "1"},
        {"Label2", K::Label, "GroupBox2", D::None, 41, 75, 0, 0, "Time:"},
        {"lbTime", K::Label, "GroupBox2", D::None, 207, 75, 9, 0, "-"},
        {"sbRun", K::Button, "GroupBox2", D::None, 95, 114, 122, 35, "Run", true, false},
        {"cbOffset", K::CheckBox, "GroupBox2", D::None, 96, 161, 121, 17, "offset corr"},
    };
    for (TControlEntry& s : c) {
        if (s.Kind == K::Label) s.AutoSize = true;
        if (s.Name == "lbTime") s.RightAnchored = true;
        if (s.Name == "Panel5") s.Bevel = 1;
        if (s.Name == "Memo3") s.Caption = kChannelDefinitions;
        if (s.Name == "cbxBaud") s.Items = "9600,19200", s.Selected = 1;
        if (s.Name == "cbxParity") s.Items = "odd,even,no", s.Selected = 1;
    }
    return c;
}

} // namespace

const std::vector<TControlEntry>& TFormLayout::Controls()
{
    static const std::vector<TControlEntry> controls = MakeControls();
    return controls;
}

const TControlEntry& TFormLayout::Control(std::string_view name)
{
    for (const TControlEntry& entry : Controls())
        if (entry.Name == name) return entry;
    throw EError("no control " + std::string(name));
}

std::vector<TRect> TFormLayout::Arrange(int width, int height)
{
    const std::vector<TControlEntry>& controls = Controls();
    std::vector<TRect> rects(controls.size());
    // The room still free in each parent's client area, as docking takes it.
    struct TRoom {
        std::string_view Parent;
        TRect Free;
    };
    std::vector<TRoom> rooms{{"", {0, 0, width, height}}};
    auto roomOf = [&rooms](std::string_view parent) -> TRect& {
        for (TRoom& room : rooms)
            if (room.Parent == parent) return room.Free;
        throw EError("no parent " + std::string(parent));
    };
    for (size_t i = 0; i < controls.size(); ++i) {
        const TControlEntry& s = controls[i];
        TRect r{s.X, s.Y, s.Width, s.Height};
        if (s.Dock != TDock::None && s.Visible) {
            TRect& free = roomOf(s.Parent);
            if (s.Dock == TDock::Client) {
                r = free;
            } else if (s.Dock == TDock::Right) {
                r = {free.X + free.Width - s.Width, free.Y, s.Width, free.Height};
                free.Width -= s.Width;
            } else {
                r = {free.X, free.Y, free.Width, s.Height};
                free.Y += s.Height;
                free.Height -= s.Height;
            }
        }
        rects[i] = r;
        rooms.push_back({s.Name, {s.Bevel, s.Bevel, r.Width - 2 * s.Bevel, r.Height - 2 * s.Bevel}});
    }
    return rects;
}

const std::vector<std::string_view>& TFormLayout::TabOrder()
{
    // Panel4 holds ListBox1, Memo1 and the column; the column the Monitor
    // group before the Port group. The Run button never takes the focus.
    static const std::vector<std::string_view> order = {"ListBox1", "Memo1",   "ePeriod",
                                                        "cbOffset", "ComCBox", "ListBox2"};
    return order;
}

const std::vector<TMenuEntry>& TFormLayout::LogMenu()
{
    static const std::vector<TMenuEntry> menu = {
        {"Clear1", "Clear"}, {"Selectall1", "Select all"}, {"Saveas1", "Save as"}};
    return menu;
}

std::optional<TRgb> TFormLayout::StateColor(TChannelState state)
{
    switch (state) {
    case TChannelState::Silent: return TRgb{255, 221, 87};
    case TChannelState::BadReply: return TRgb{255, 145, 40};
    case TChannelState::OutOfRange: return TRgb{225, 40, 40};
    case TChannelState::None:
    case TChannelState::Ok: break;
    }
    return std::nullopt;
}

std::optional<TConnectShown> TFormLayout::ConnectShown(TConnectResult::TKind kind)
{
    switch (kind) {
    // The port stays open and Run possible when the device refuses a
    // setting: the operator may know better, and is told which one.
    case TConnectResult::Opened:
    case TConnectResult::SettingRefused: return TConnectShown{kGreen, true};
    case TConnectResult::NotOpened: return TConnectShown{kGrey, false};
    case TConnectResult::NotConfigured:
    case TConnectResult::Abandoned: break;
    }
    return std::nullopt;
}

TRect TFormLayout::AutoSized(const TControlEntry& entry, const TRect& arranged, int textWidth, int textHeight)
{
    const int x = entry.RightAnchored ? arranged.X + arranged.Width - textWidth : arranged.X;
    return {x, arranged.Y, textWidth, textHeight};
}

} // namespace kelvara
