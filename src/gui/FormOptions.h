// What the window takes from its surroundings: where its files are, whether
// it runs the demo, and how it asks and tells the operator. Every member has
// a working default; tests and the demo replace some of them.
#pragma once

#include "acquisition/Session.h"

#include <QString>

#include <functional>
#include <string>

class QFileDialog;
class QWidget;

struct TFormOptions {
    // The executable whose directory holds kelvara.ini and offset.txt; empty
    // means the running program.
    std::string ExecutablePath;
    // The offsets file; empty means the search path of the program's files.
    std::string OffsetsPath;
    // Starts with the simulated bus offered first, chosen and running, once
    // the restore offer of a run left behind has been answered. The user's
    // settings file is left as it was.
    bool Demo = false;
    // Shows a failure's text to the operator; empty means a message box.
    std::function<void(const QString& text)> ShowMessage;
    // Tells the operator something that needs no answer while the run goes
    // on (a port lost and back); empty means a window that does not block.
    std::function<void(const QString& text)> ShowNotice;
    // Runs a prepared save dialog modally; true when the operator confirmed
    // a name. Empty means the dialog's own exec().
    std::function<bool(QFileDialog& dialog)> ExecSaveDialog;
    // Where the runs keep their journals; empty means the user's state
    // directory ($XDG_STATE_HOME/kelvara/runs/).
    std::string JournalDir;
    // Offers the operator a journal that a run left behind, with the
    // question's text; true to restore its lines into the log pane. Empty
    // means a message box that asks.
    std::function<bool(const kelvara::TJournalInfo& journal, const QString& question)> OfferJournal;
};

// Fills the hooks left empty with message boxes and dialogs over window.
void SetDefaultHooks(TFormOptions& options, QWidget* window);
