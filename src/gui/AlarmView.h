// The window's alarms: the notice list beside the log (ListBox2), the marks
// on the reading list, the operator's acknowledgement and the rules' dialog.
// What an alarm is, its texts and its state are the session's; this only
// shows them and passes on what the operator does.
#pragma once

#include "acquisition/Session.h"

#include <QObject>

#include <functional>
#include <string>

class QListWidget;
class QListWidgetItem;
class QMenu;
class QWidget;

class TAlarmView : public QObject {
    Q_OBJECT

public:
    // The data roles of a notice line: the run, and the alarm's channel
    // and kind.
    enum TRole { RunRole = 0x0100 + 1, ChannelRole, KindRole, SavedBackRole, SavedForeRole };

    // notices is the window's notice list; session gives the window's
    // session, or none.
    TAlarmView(QListWidget* notices, std::function<kelvara::TSession*()> session, kelvara::TLocaleSettings locale);

    // A raise, a clear or an acknowledgement: a line at the end of the list.
    void Changed(const kelvara::TAlarmEvent& event);
    // The reading list's lines of channels with an alarm shown in the alarm
    // colour, and each channel's rules in its tooltip. fresh: the lines'
    // colours are their channels' own, just set by a scan.
    void MarkList(QListWidget* list, bool fresh);
    // The operator has seen the alarm of a notice line, or every alarm.
    void Acknowledge(QListWidgetItem* item);
    void AcknowledgeAll();
    // Edits the rules of path in a dialog, which writes the file.
    void EditRules(const std::string& path, QWidget* parent);

    QMenu* PopupMenu = nullptr; // the notice list's: Acknowledge, Acknowledge all

private:
    void Colour();

    QListWidget* notices_;
    std::function<kelvara::TSession*()> session_;
    kelvara::TLocaleSettings locale_;
};
