#include "gui/Widgets.h"

#include "acquisition/Session.h"

#include <QAbstractTextDocumentLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextCursor>

#include <optional>

using namespace kelvara;

TShape::TShape(QWidget* parent) : QWidget(parent) {}

void TShape::SetBrushColor(const QColor& color)
{
    brush_ = color;
    update();
}

void TShape::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), brush_);
    painter.setPen(Qt::black);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

TLogPane::TLogPane(const QString& text, QWidget* parent) : QPlainTextEdit(text, parent)
{
    QScrollBar* bar = verticalScrollBar();
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int max) {
        if (following_) bar->setValue(max);
    });
    connect(bar, &QScrollBar::valueChanged, this, [this](int value) {
        if (AtEnd(value)) following_ = true;
    });
    connect(bar, &QScrollBar::actionTriggered, this, [this, bar] { following_ = AtEnd(bar->sliderPosition()); });
    // A key that moves the cursor scrolls once the cursor has moved.
    connect(this, &QPlainTextEdit::cursorPositionChanged, this, [this, bar] {
        QMetaObject::invokeMethod(
            this, [this, bar] { following_ = AtEnd(bar->value()); }, Qt::QueuedConnection);
    });
}

// The end is in view one line short of the bar's end too, where a cursor on
// the last, empty line leaves the view.
bool TLogPane::AtEnd(int value) const
{
    return value >= verticalScrollBar()->maximum() - 1;
}

void TLogPane::AppendLine(const QString& line)
{
    QAbstractTextDocumentLayout* layout = document()->documentLayout();
    // A pane that follows the run scrolls by a line for each append. Told of
    // the change as it happens, it would repaint all of itself for it (the
    // last line, which changes, is in view); held quiet, it scrolls the
    // picture and paints only the lines that are new.
    std::optional<QSignalBlocker> quiet;
    if (following_) quiet.emplace(layout);
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    // One edit, laid out once.
    cursor.beginEditBlock();
    if (!cursor.block().text().isEmpty()) cursor.insertBlock();
    const int lineBlock = cursor.blockNumber();
    cursor.insertText(line);
    cursor.insertBlock();
    cursor.endEditBlock();
    if (!following_) return;
    quiet.reset();
    // The range grows, and a pane that follows goes to its new end.
    emit layout->documentSizeChanged(layout->documentSize());
    // The scroll uncovered the last line; the new line is the one above it.
    const int top = cursorRect(QTextCursor(document()->findBlockByNumber(lineBlock))).top();
    const int bottom = cursorRect(QTextCursor(document()->lastBlock())).top();
    viewport()->update(QRect(0, top, viewport()->width(), bottom - top));
}

void TLogPane::InsertFirstLine(const QString& line)
{
    QTextCursor top(document());
    top.movePosition(QTextCursor::Start);
    top.insertText(line + '\n');
}

void TLogPane::RemoveFirstLine()
{
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::Start);
    if (!cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor))
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

namespace {

QWidget* MakeCombo(const TControlEntry& s, QWidget* parent)
{
    auto* box = new QComboBox(parent);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    for (const std::string& item : SplitCommaText(s.Items)) box->addItem(Q(item));
    box->setCurrentIndex(s.Selected);
    box->setEditText(Q(s.Caption));
    return box;
}

QWidget* MakeLabel(const TControlEntry& s, QWidget* parent)
{
    auto* label = new QLabel(Q(s.Caption), parent);
    label->setForegroundRole(QPalette::PlaceholderText);
    if (s.RightAnchored) label->setAlignment(Qt::AlignRight | Qt::AlignTop);
    return label;
}

} // namespace

QWidget* MakeControl(const TControlEntry& s, QWidget* parent)
{
    QWidget* w = nullptr;
    switch (s.Kind) {
    case TControlKind::Panel: {
        auto* panel = new QFrame(parent);
        panel->setFrameStyle(s.Bevel ? QFrame::Panel | QFrame::Raised : QFrame::NoFrame);
        panel->setLineWidth(s.Bevel);
        w = panel;
        break;
    }
    case TControlKind::ListBox: w = new QListWidget(parent); break;
    case TControlKind::Memo: w = new TLogPane(Q(s.Caption), parent); break;
    case TControlKind::GroupBox: w = new QGroupBox(Q(s.Caption), parent); break;
    case TControlKind::ComboBox: w = MakeCombo(s, parent); break;
    case TControlKind::Shape: w = new TShape(parent); break;
    case TControlKind::Label: w = MakeLabel(s, parent); break;
    case TControlKind::Edit: w = new QLineEdit(Q(s.Caption), parent); break;
    case TControlKind::Button: w = new QPushButton(Q(s.Caption), parent); break;
    case TControlKind::CheckBox: w = new QCheckBox(Q(s.Caption), parent); break;
    }
    w->setObjectName(Q(s.Name));
    w->setVisible(s.Visible);
    w->setEnabled(s.Enabled);
    return w;
}

void FinishControls(const TControls& controls)
{
    auto* log = static_cast<TLogPane*>(controls.at("Memo1"));
    log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    log->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    log->setTabChangesFocus(true);
    log->setContextMenuPolicy(Qt::CustomContextMenu);
    // The scan's lines are the record of the run: no undo step may take one
    // back, nor bring back the header line a save inserted and removed. A
    // pane without an undo history still takes typing.
    log->setUndoRedoEnabled(false);
    auto* list = static_cast<QListWidget*>(controls.at("ListBox1"));
    list->setUniformItemSizes(true);
    list->setContextMenuPolicy(Qt::NoContextMenu);
    static_cast<QLineEdit*>(controls.at("ePeriod"))->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    static_cast<TLogPane*>(controls.at("Memo2"))->setReadOnly(true);
    static_cast<TLogPane*>(controls.at("Memo3"))->setReadOnly(true);
    // A latching speed button: it never takes the focus, and its own checked
    // look is too faint to tell a latched button by.
    auto* run = static_cast<QPushButton*>(controls.at("sbRun"));
    run->setCheckable(true);
    run->setFocusPolicy(Qt::NoFocus);
    run->setStyleSheet("QPushButton:checked { background: #c4c4c4; border: 2px inset #808080; }");
}

void ArrangeControls(const TControls& controls, int width, int height)
{
    const std::vector<TRect> rects = TFormLayout::Arrange(width, height);
    const std::vector<TControlEntry>& entries = TFormLayout::Controls();
    for (size_t i = 0; i < entries.size(); ++i) {
        QWidget* w = controls.find(entries[i].Name)->second;
        TRect r = rects[i];
        if (entries[i].AutoSize)
            r = TFormLayout::AutoSized(entries[i], r, w->sizeHint().width(), w->sizeHint().height());
        w->setGeometry(r.X, r.Y, r.Width, r.Height);
    }
}

QMenu* MakeLogMenu(QWidget* window)
{
    auto* menu = new QMenu(window);
    menu->setObjectName("PopupMenu3");
    menu->setFont(window->font());
    auto add = [menu](std::string_view name, std::string_view caption) {
        QAction* action = menu->addAction(Q(caption));
        action->setObjectName(Q(name));
        return action;
    };
    for (const TMenuEntry& entry : TFormLayout::LogMenu()) add(entry.Name, entry.Caption);
    menu->addSeparator();
    QAction* chart = add("Chart1", "Chart");
    chart->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
    chart->setShortcutContext(Qt::WindowShortcut);
    add(TFormLayout::kAlarmsEntry.Name, TFormLayout::kAlarmsEntry.Caption);
    return menu;
}
