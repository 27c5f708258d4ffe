#include "gui/FormOptions.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <memory>

void SetDefaultHooks(TFormOptions& options, QWidget* window)
{
    if (!options.ShowMessage)
        options.ShowMessage = [window](const QString& text) {
            QMessageBox::critical(window, window->windowTitle(), text);
        };
    if (!options.ShowNotice)
        options.ShowNotice = [window, box = std::make_shared<QPointer<QMessageBox>>()](const QString& text) {
            // One window, kept open and added to, so that an adapter that
            // drops out again and again does not pile up windows.
            if (!*box) {
                *box = new QMessageBox(QMessageBox::Warning, window->windowTitle(), QString(), QMessageBox::Ok, window);
                (*box)->setWindowModality(Qt::NonModal);
                (*box)->setAttribute(Qt::WA_DeleteOnClose);
            }
            (*box)->setText((*box)->text().isEmpty() ? text : (*box)->text() + "\n" + text);
            (*box)->show();
        };
    if (!options.OfferJournal)
        options.OfferJournal = [window](const kelvara::TJournalInfo& journal, const QString& question) {
            QMessageBox box(QMessageBox::Question, window->windowTitle(), question, QMessageBox::NoButton, window);
            box.setInformativeText(QString::fromStdString(journal.Path));
            QPushButton* restore = box.addButton("Restore", QMessageBox::AcceptRole);
            box.addButton("Leave", QMessageBox::RejectRole);
            box.exec();
            return box.clickedButton() == restore;
        };
    if (!options.ExecSaveDialog)
        options.ExecSaveDialog = [](QFileDialog& dialog) { return dialog.exec() == QDialog::Accepted; };
}
