// Imports of clients, items and earlier invoices from a file: the explanatory dialogs, the work item
// that reads the file, and the progress dialog that ends as the result message.
#include "app/App.h"
#include "app/settings/SettingsPage.h"

#include "app/settings/SettingsSupport.h"
#include "core/Core.h"
#include "core/store/import_check.h"

#include <memory>

using json11::Json;

namespace Tavrin {

using settings::caption;

namespace {

// The import modes, in the order of their numbers; fixed texts, not translation keys.
const char* const kInvoiceModes[6] = {
    "Számlák, partnerek és termékek", "Csak partnerek",       "Csak termékek",
    "Partnerek és termékek",          "Számlák és partnerek", "Számlák és termékek",
};

// Runs one import on the calling (pool) thread and hands its outcome to the progress dialog. The file
// is looked at first: a file the import cannot read, or with a line it would pass over, is reported
// and nothing of it is written.
void run_import(ImportKind kind, const std::string& path, int mode, ui::DispatcherQueue queue,
                QPointer<ui::ContentDialog> progress) {
    auto outcome = std::make_shared<SettingsPage::ImportOutcome>();
    ui::PostOnce finish(std::move(queue), [progress, outcome] { SettingsPage::ShowImportResult(progress, *outcome); });
    Core* core = g_core;
    if (!core) return;
    if (const std::optional<ImportProblem> problem = import_file_problem(path, kind)) {
        outcome->problem_line = problem->line;
        return;
    }
    auto completion = [outcome, &finish](int count) {
        outcome->count = count;
        outcome->problem_line = -1;
        finish.post();
    };
    if (kind == ImportKind::clients)
        core->import_clients(path, completion);
    else if (kind == ImportKind::items)
        core->import_items(path, completion);
    else
        core->import_invoices(path, mode, completion);
}

}  // namespace

void SettingsPage::BuildImportEditor(ui::ContentDialog* dialog, const std::string& key) {
    dialog->PrimaryButtonText(caption("import"));
    if (key == "import_invoices") {
        ui::Panel* stack = settings::new_stack();
        auto* text = new ui::TextBlock;
        text->setWordWrap(true);
        text->Text(caption("import_invoices"));
        stack->Append(text);
        auto* modes = new ui::ComboBox;
        modes->Header(caption("import"));
        for (const char* mode : kInvoiceModes) modes->Append(QString::fromUtf8(mode));
        modes->SelectedIndex(0);
        stack->Append(modes);
        dialog->Title(caption("archivum"));
        dialog->SecondaryButtonText(caption("convert"));
        dialog->Content(stack);
        return;
    }
    dialog->Title(caption(key == "import_clients" ? "clients" : "items"));
    auto* text = new ui::TextBlock;
    text->setWordWrap(true);
    text->Text(caption(key));
    dialog->Content(text);
}

void SettingsPage::StartImport(const std::string& key, const QString& path, int mode, const QString& title) {
    ui::ContentDialog* progress = ShowProgress(title);
    ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    const std::string file = ui::utf8(path);
    QPointer<ui::ContentDialog> dialog(progress);
    if (key == "import_invoices") {
        ui::ThreadPool::RunAsync([file, mode, queue, dialog] { import_invoices_work_item(file, mode, queue, dialog); });
    } else {
        const bool clients = key == "import_clients";
        ui::ThreadPool::RunAsync([clients, file, queue, dialog] { ImportMasterData(clients, file, queue, dialog); });
    }
}

void SettingsPage::ImportMasterData(bool clients, std::string path, ui::DispatcherQueue queue,
                                    QPointer<ui::ContentDialog> progress) {
    run_import(clients ? ImportKind::clients : ImportKind::items, path, 0, std::move(queue), std::move(progress));
}

void import_invoices_work_item(std::string path, int mode, ui::DispatcherQueue queue,
                               QPointer<ui::ContentDialog> progress) {
    run_import(ImportKind::invoices, path, mode, std::move(queue), std::move(progress));
}

void SettingsPage::ShowImportResult(QPointer<ui::ContentDialog> progress, ImportOutcome outcome) {
    if (!progress || !g_core) return;
    std::string message;
    if (outcome.problem_line < 0) {
        message = g_core->translated("import_successful", std::to_string(outcome.count));
    } else if (outcome.problem_line == 0) {
        message = own_text("Az importálás nem sikerült: a fájl nem olvasható.",
                                     "The import failed: the file cannot be read.");
    } else {
        const std::string line = std::to_string(outcome.problem_line);
        message = own_text("Az importálás nem sikerült, semmi sem lett mentve: a fájl ",
                                     "The import failed and nothing was saved: line ") +
                  line +
                  own_text(". sora nem a várt formájú.", " of the file is not in the expected form.");
    }
    progress->PrimaryButtonText(caption("ok"));
    progress->Content(ui::qs(message));
    // Closed meanwhile (Escape): the result is shown all the same.
    if (ui::ContentDialog::Current() != progress.data()) progress->ShowAsync();
}

}  // namespace Tavrin
