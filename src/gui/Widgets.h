// The widgets the window is made of besides Qt's own: the connection
// indicator, the log pane, and one widget for each row of the layout table.
#pragma once

#include "form/Layout.h"

#include <QColor>
#include <QMenu>
#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <string>
#include <string_view>

inline QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}
inline QString Q(std::string_view text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}
inline std::string S(const QString& text)
{
    return text.toStdString();
}
inline QColor Color(kelvara::TRgb rgb)
{
    return QColor(rgb.R, rgb.G, rgb.B);
}

// A filled rectangle with a one-pixel black outline: the connection indicator.
class TShape : public QWidget {
public:
    explicit TShape(QWidget* parent = nullptr);
    QColor BrushColor() const { return brush_; }
    void SetBrushColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor brush_ = Qt::white;
};

// A text pane that a run appends its lines to. It follows the run while the
// operator leaves its end in view: whatever makes it longer or its view
// smaller (a line, a resize, the header a save puts on top) keeps the end in
// view. Scrolled back, it stays; scrolled to the end again (Ctrl+End, the
// scroll bar), it follows.
class TLogPane : public QPlainTextEdit {
public:
    explicit TLogPane(const QString& text, QWidget* parent = nullptr);
    // One new last line; each carries its break, so the pane's text ends
    // with one and the next line starts a line of its own, after typed
    // text too.
    void AppendLine(const QString& line);
    void InsertFirstLine(const QString& line);
    void RemoveFirstLine();

private:
    bool AtEnd(int value) const;
    bool following_ = true;
};

// The window's controls by their names.
using TControls = std::map<std::string, QWidget*, std::less<>>;

// One widget of the layout table, as Qt has it.
QWidget* MakeControl(const kelvara::TControlEntry& entry, QWidget* parent);
// What the table's rows do not say: how the log pane wraps and scrolls, the
// latching Run button, the read-only holders of texts.
void FinishControls(const TControls& controls);
// The log pane's popup menu: the table's entries, then the chart (Ctrl+G)
// and the alarms.
QMenu* MakeLogMenu(QWidget* window);
// Every control where the layout table puts it for a client area of
// width × height; a label that sizes itself to its text keeps its anchored
// edge.
void ArrangeControls(const TControls& controls, int width, int height);
