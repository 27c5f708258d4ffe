#include "gui/Demo.h"

#include <QComboBox>
#include <QPushButton>

TDemo::TDemo() : bus_(kelvara::sim::TSimOptions{.Profile = kProfile})
{
    bus_.Start();
}

std::string TDemo::PortName() const
{
    const std::string path = bus_.DevicePath();
    const std::string dev = "/dev/";
    return path.rfind(dev, 0) == 0 ? path.substr(dev.size()) : path;
}

TFormOptions TDemo::Options(TFormOptions base) const
{
    base.ExtraPorts.insert(base.ExtraPorts.begin(), PortName());
    // The bus's port name is made up for this run; the user's settings file
    // stays as it was.
    base.SaveSettingsAtClose = false;
    return base;
}

void TDemo::Start(TForm1& form) const
{
    // A pseudo-terminal carries no parity.
    form.cbxParity->setEditText("no");
    form.HandleEvent([&] { form.ComCBoxEnter(); });
    const int index = form.ComCBox->findText(QString::fromStdString(PortName()));
    if (index < 0) return;
    form.ComCBox->setCurrentIndex(index);
    form.HandleEvent([&] { form.ComCBoxSelect(); });
    if (form.sbRun->isEnabled() && !form.sbRun->isChecked()) form.sbRun->click();
}
