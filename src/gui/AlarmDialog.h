// The alarm rules in a small dialog: a row for all channels and one per
// channel, a column per key, and whether a lost port raises an alarm. An
// empty cell is a key not given. The rules' judgement and the file are the
// core's; OK passes the texts to save, which raises for texts that are not
// rules, and the dialog then stays open with the reason shown.
#pragma once

#include "acquisition/Alarms.h"

#include <QDialog>

#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QTableWidget;

class TAlarmDialog : public QDialog {
    Q_OBJECT

public:
    using TSave = std::function<void(const kelvara::TAlarmTexts& texts)>;

    TAlarmDialog(const std::vector<std::string>& names, const kelvara::TAlarmTexts& texts, TSave save,
                 QWidget* parent = nullptr);

    // The texts as the cells hold them.
    kelvara::TAlarmTexts Texts() const;
    void accept() override;

    QTableWidget* gridRules = nullptr;
    QCheckBox* cbPortLost = nullptr;
    QLabel* lbProblem = nullptr;

private:
    size_t channels_;
    TSave save_;
};
