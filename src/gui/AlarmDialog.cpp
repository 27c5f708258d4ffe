#include "gui/AlarmDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

using namespace kelvara;

namespace {

const char* const kColumns[kAlarmKeys] = {"low °C", "high °C", "hysteresis °C", "delay s", "silent scans"};

} // namespace

TAlarmDialog::TAlarmDialog(const std::vector<std::string>& names, const TAlarmTexts& texts, TSave save, QWidget* parent)
    : QDialog(parent), channels_(names.size()), save_(std::move(save))
{
    setObjectName("AlarmDialog");
    setWindowTitle("Alarms");
    gridRules = new QTableWidget(int(names.size()) + 1, kAlarmKeys, this);
    gridRules->setObjectName("gridRules");
    QStringList columns, rows{"all"};
    for (const char* c : kColumns) columns << c;
    for (const std::string& name : names) rows << QString::fromStdString(name);
    gridRules->setHorizontalHeaderLabels(columns);
    gridRules->setVerticalHeaderLabels(rows);
    gridRules->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    for (int row = 0; row <= int(names.size()); ++row) {
        const TAlarmSection& s = row == 0 ? texts.All : texts.Channels.at(size_t(row - 1));
        for (int k = 0; k < kAlarmKeys; ++k)
            gridRules->setItem(row, k, new QTableWidgetItem(QString::fromStdString(s.Values[size_t(k)])));
    }
    gridRules->setToolTip("An empty cell takes the row \"all\"; \"none\" turns off what \"all\" gives.\n"
                          "Temperatures as logged, '.' as the decimal point.");
    cbPortLost = new QCheckBox("Alarm while the port is lost", this);
    cbPortLost->setObjectName("cbPortLost");
    cbPortLost->setChecked(QString::fromStdString(texts.PortLost).compare("yes", Qt::CaseInsensitive) == 0);
    lbProblem = new QLabel(this);
    lbProblem->setObjectName("lbProblem");
    lbProblem->setWordWrap(true);
    lbProblem->setStyleSheet("color: #b00000");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(gridRules);
    layout->addWidget(cbPortLost);
    layout->addWidget(lbProblem);
    layout->addWidget(buttons);
    const QSize table(gridRules->verticalHeader()->width() + gridRules->horizontalHeader()->length() + 8,
                      gridRules->horizontalHeader()->height() + gridRules->verticalHeader()->length() + 8);
    gridRules->setMinimumSize(table);
}

TAlarmTexts TAlarmDialog::Texts() const
{
    TAlarmTexts texts;
    texts.Channels.resize(channels_);
    for (int row = 0; row <= int(channels_); ++row) {
        TAlarmSection& s = row == 0 ? texts.All : texts.Channels[size_t(row - 1)];
        for (int k = 0; k < kAlarmKeys; ++k) {
            const QTableWidgetItem* item = gridRules->item(row, k);
            s.Values[size_t(k)] = item ? item->text().trimmed().toStdString() : std::string();
        }
    }
    texts.PortLost = cbPortLost->isChecked() ? "yes" : "";
    return texts;
}

void TAlarmDialog::accept()
{
    try {
        save_(Texts());
    } catch (const std::exception& e) {
        lbProblem->setText(QString::fromUtf8(e.what()));
        return;
    }
    QDialog::accept();
}
