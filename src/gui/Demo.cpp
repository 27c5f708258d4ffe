#include "gui/Demo.h"

#include <QComboBox>
#include <QPushButton>

void StartDemo(TForm1& form)
{
    form.cbxParity->setEditText(kelvara::TSession::kSimulatedParity);
    form.HandleEvent([&] { form.ComCBoxEnter(); });
    const int index = form.ComCBox->findText(QString::fromStdString(form.DemoPort()));
    if (index < 0) return;
    form.ComCBox->setCurrentIndex(index);
    form.HandleEvent([&] { form.ComCBoxSelect(); });
    if (form.sbRun->isEnabled() && !form.sbRun->isChecked()) form.sbRun->click();
}
