// Program entry of the window: the application, the main window and its
// message loop. With --demo the window logs from a simulated bus.
#include "gui/Form1.h"

#include <QApplication>

#include <clocale>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // Qt adopts the environment's locale for the C library; the core formats
    // and parses numbers with its own captured settings and needs the C
    // library's numeric rules to stay "C".
    std::setlocale(LC_NUMERIC, "C");
    const kelvara::TLocaleSettings locale = kelvara::TLocaleSettings::Capture();

    TFormOptions options;
    options.Demo = QApplication::arguments().contains("--demo");
    TForm1 form(locale, options);
    form.show();
    return QApplication::exec();
}
