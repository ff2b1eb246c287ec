// What the steps of a document's save hand on to each other, and the small helpers they share.
#pragma once

#include "app/MainWindow.h"
#include "app/editor/DocumentPage.h"
#include "core/Core.h"
#include "ui/ContentDialog.h"

#include <atomic>
#include <optional>

namespace Tavrin {

struct DocumentPage::SaveContext {
    // UI thread only: the page, its own window, the main window and the saving dialog may go at any
    // time (the pointers then read null).
    QPointer<DocumentPage> page;
    QPointer<ui::Window> window;
    QPointer<MainWindow> main;
    QPointer<ui::ContentDialog> dialog;
    ui::DispatcherQueue queue;

    // Set on the UI thread before the worker starts; then the worker's alone until it posts a result.
    std::string account;
    bool is_new = false;
    // An invoice the tax authority is told of (not the DEMO account's).
    bool reported = false;
    json11::Json::object document;
    std::vector<json11::Json> lines;
    // The next number's text before the first sync pass (new documents): a number text other than
    // this one was typed by the user.
    std::string formatted_before;
    // The number the page showed when the user saved: the user is told when the save took another.
    std::string shown_number;
    // The request id of the page's earlier report whose answer never came (or of this save's own).
    std::string own_request_id;
    // The page's document and lines when its report was left without an answer; and whether the
    // page changed them since, when that report is then stored as it was sent.
    std::string reported_snapshot;
    bool edits_dropped = false;
    // The draft that keeps the page's invoice since a report of it ended unstored: the page shows it.
    std::optional<KeptDraft> kept;
    // UI thread only: how far this save's own report has gone (none until it is recorded) and its
    // number, as the worker tells it; whether the save has waited long enough to say what it waits
    // for; whether the user closed the program meanwhile (it ends once nothing typed can be lost).
    std::optional<NavReportRecord::Phase> report_phase;
    std::string report_number;
    bool long_wait = false;
    bool close_asked = false;
    // The stored document's record name.
    std::string recordName;
    // Completed once the accounting upload has ended (set only when one was posted).
    std::optional<ui::AsyncAction> upload;
    // One result (error or success) goes to the UI per save.
    std::atomic<bool> answered{false};
};

// A dialog without buttons cannot be closed by the user (Escape, the window's close button) until
// release_dialog gives it back its buttons.
void hold_dialog_open(ui::ContentDialog* dialog);
void release_dialog(ui::ContentDialog* dialog);
// The user's close of the program, held while the save ran, goes on (queued: never inside the event
// that let it go on).
void close_program_later(const DocumentPage::SaveContextPtr& context);
// Completes `to` once `from` has ended, however it ended.
ui::Action complete_when(ui::AsyncAction from, ui::AsyncAction to);

}  // namespace Tavrin
