// What the Win32 window takes from its surroundings.
#pragma once

#include "win32/FormSession.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

// What the window takes from its surroundings. Every member has a working
// default; tests replace some of them.
struct TFormOptions {
    // The executable whose directory holds kelvara.ini, offset.txt and the
    // font; empty means the running program.
    std::string ExecutablePath;
    // Where the runs keep their journals; empty means the user's
    // (%LOCALAPPDATA%\kelvara\runs\).
    std::string JournalDir;
    // Starts with the simulated bus chosen and running, once the offer of a
    // run left behind has been answered. The user's settings stay as they were.
    bool Demo = false;
    // Makes the session; empty means the core's.
    std::function<std::unique_ptr<TFormSession>(const kelvara::TSessionConfig& config)> MakeSession;
    // Shows a failure's text; empty means a message box.
    std::function<void(const std::string& text)> ShowMessage;
    // Tells what needs no answer while the run goes on (a port lost and
    // back); empty means a notice window that does not block.
    std::function<void(const std::string& text)> ShowNotice;
    // The save dialog, given the initial directory, the default extension
    // and the name confirmed last: the chosen path, or nothing for a cancel.
    // Empty means the system's common dialog.
    std::function<std::optional<std::string>(const std::string& dir, const std::string& ext, const std::string& name)>
        AskSavePath;
    // Offers a journal that a run left behind, with the question's text;
    // true restores its lines into the log pane. Empty means a message box.
    std::function<bool(const kelvara::TJournalInfo& journal, const std::string& question)> OfferJournal;
};
