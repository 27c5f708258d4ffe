#include "gui/AlarmView.h"

#include "gui/Widgets.h"

#include "acquisition/Session.h"
#include "form/Layout.h"
#include "gui/AlarmDialog.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QSet>

using namespace kelvara;

namespace {

// Where a tooltip's alarm part begins: the part a scan does not rewrite.
const QString kTipMark = "\nAlarms: ";

} // namespace

TAlarmView::TAlarmView(QListWidget* notices, std::function<TSession*()> session, TLocaleSettings locale)
    : QObject(notices), notices_(notices), session_(std::move(session)), locale_(std::move(locale))
{
    notices_->setToolTip("Alarms raised, cleared and acknowledged. Double-click a line to acknowledge its alarm.");
    notices_->setContextMenuPolicy(Qt::CustomContextMenu);
    // The column is narrow: a notice wraps to the lines it needs.
    notices_->setWordWrap(true);
    notices_->setResizeMode(QListView::Adjust);
    notices_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    PopupMenu = new QMenu(notices_);
    PopupMenu->setObjectName("PopupMenu4");
    QAction* one = PopupMenu->addAction("Acknowledge");
    QAction* all = PopupMenu->addAction("Acknowledge all");
    connect(notices_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) { Acknowledge(item); });
    connect(notices_, &QWidget::customContextMenuRequested, this, [this, one](const QPoint& at) {
        one->setEnabled(notices_->itemAt(at) != nullptr);
        one->setData(notices_->row(notices_->itemAt(at)));
        PopupMenu->popup(notices_->viewport()->mapToGlobal(at));
    });
    connect(one, &QAction::triggered, this, [this, one] { Acknowledge(notices_->item(one->data().toInt())); });
    connect(all, &QAction::triggered, this, [this] { AcknowledgeAll(); });
}

void TAlarmView::Changed(const TAlarmEvent& event)
{
    auto* item = new QListWidgetItem(QString::fromStdString(event.Text));
    item->setData(RunRole, QVariant::fromValue<qulonglong>(event.Run));
    item->setData(ChannelRole, event.Id.Channel);
    item->setData(KindRole, int(event.Id.Kind));
    notices_->addItem(item);
    notices_->scrollToBottom();
    if (event.Change == TAlarmChange::Raised) QApplication::alert(notices_->window());
    Colour();
}

// The newest line of each alarm of the run stands out while the alarm waits
// for the operator, paler once it has been seen or has cleared.
void TAlarmView::Colour()
{
    TSession* session = session_();
    if (!session) return;
    const TAlarmSnapshot snapshot = session->Alarms();
    QSet<QPair<int, int>> seen;
    for (int row = notices_->count() - 1; row >= 0; --row) {
        QListWidgetItem* item = notices_->item(row);
        const QPair<int, int> id(item->data(ChannelRole).toInt(), item->data(KindRole).toInt());
        const TAlarmStatus* status = nullptr;
        if (item->data(RunRole).toULongLong() == snapshot.Run && !seen.contains(id))
            for (const TAlarmStatus& s : snapshot.Alarms)
                if (s.Id.Channel == id.first && int(s.Id.Kind) == id.second) status = &s;
        seen.insert(id);
        const bool waiting = status && status->Shown && status->State == TAlarmState::Raised && !status->Acknowledged;
        item->setBackground(waiting                   ? QBrush(Color(TFormLayout::kAlarm))
                            : status && status->Shown ? QBrush(Color(TFormLayout::kAlarmSeen))
                                                      : QBrush());
        item->setForeground(waiting ? QBrush(Qt::white) : QBrush());
    }
}

void TAlarmView::MarkList(QListWidget* list, bool fresh)
{
    Colour();
    TSession* session = session_();
    if (!session) return;
    const TAlarmSnapshot snapshot = session->Alarms();
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem* item = list->item(i);
        if (fresh || !item->data(SavedBackRole).isValid()) {
            item->setData(SavedBackRole, item->background());
            item->setData(SavedForeRole, item->foreground());
        }
        QString tip = item->toolTip();
        if (const qsizetype cut = tip.indexOf(kTipMark); cut >= 0) tip.truncate(cut);
        const std::string rules = snapshot.Tip(i, locale_);
        if (!rules.empty()) tip += "\n" + QString::fromStdString(rules);
        item->setToolTip(tip);
        bool waiting = false;
        for (const TAlarmStatus& s : snapshot.Alarms)
            waiting = waiting || (s.Id.Channel == i && s.Shown && !s.Acknowledged && s.State == TAlarmState::Raised);
        if (!snapshot.Shown(i)) {
            item->setBackground(item->data(SavedBackRole).value<QBrush>());
            item->setForeground(item->data(SavedForeRole).value<QBrush>());
            continue;
        }
        item->setBackground(Color(waiting ? TFormLayout::kAlarm : TFormLayout::kAlarmSeen));
        item->setForeground(waiting ? QBrush(Qt::white) : QBrush());
    }
}

void TAlarmView::Acknowledge(QListWidgetItem* item)
{
    TSession* session = session_();
    if (!session || !item || notices_->row(item) < 0) return;
    session->Acknowledge(item->data(RunRole).toULongLong(),
                         {item->data(ChannelRole).toInt(), TAlarmKind(item->data(KindRole).toInt())});
}

void TAlarmView::AcknowledgeAll()
{
    TSession* session = session_();
    if (!session) return;
    const TAlarmSnapshot snapshot = session->Alarms();
    for (const TAlarmStatus& s : snapshot.Alarms)
        if (s.Shown) session->Acknowledge(snapshot.Run, s.Id);
}

void TAlarmView::EditRules(const std::string& path, QWidget* parent)
{
    TSession* session = session_();
    if (!session) return;
    const auto& table = session->Table().ChanNames();
    const std::vector<std::string> names(table.begin(), table.end());
    TAlarmTexts texts;
    QString problem;
    try {
        texts = LoadAlarmTexts(path, names);
    } catch (const EError& e) {
        // A file that is not one is shown empty, and OK replaces it.
        texts.Channels.resize(names.size());
        problem = QString::fromUtf8(e.what());
    }
    TAlarmDialog dialog(
        names, texts, [&](const TAlarmTexts& t) { SaveAlarmTexts(path, t, names); }, parent);
    dialog.lbProblem->setText(problem);
    dialog.exec();
}
