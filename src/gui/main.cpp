// Program entry of the window: the application, the main window and its
// message loop. With --demo the window logs from a simulated bus.
#include "gui/Demo.h"
#include "gui/Form1.h"

#include <QApplication>
#include <QMessageBox>

#include <clocale>
#include <cstdio>
#include <memory>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // Qt adopts the environment's locale for the C library; the core formats
    // and parses numbers with its own captured settings and needs the C
    // library's numeric rules to stay "C".
    std::setlocale(LC_NUMERIC, "C");
    const kelvara::TLocaleSettings locale = kelvara::TLocaleSettings::Capture();

    std::unique_ptr<TDemo> demo;
    TFormOptions options;
    if (QApplication::arguments().contains("--demo")) {
        try {
            demo = std::make_unique<TDemo>();
            options = demo->Options(std::move(options));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kelvara: demo: %s\n", e.what());
            return 1;
        }
    }

    // The window goes before the bus, so its port closes while the bus still
    // serves it.
    TForm1 form(locale, std::move(options));
    form.show();
    if (demo) demo->Start(form);
    return QApplication::exec();
}
