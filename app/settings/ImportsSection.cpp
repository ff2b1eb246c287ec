// Imports of clients, items and earlier invoices from a file: the explanatory dialogs, the work item
// that reads the file, and the progress dialog that ends as the result message.
#include "app/App.h"
#include "app/settings/SettingsPage.h"

#include "app/settings/SettingsSupport.h"
#include "core/Core.h"
#include "core/store/import_check.h"

#include <algorithm>
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

// Runs one import on the calling (pool) thread and hands its outcome to the progress dialog. Client
// and item files are imported line by line, the lines passed over named in the result; an invoice
// import file is looked at first, and one the import cannot read is reported with nothing written.
void run_import(ImportKind kind, const std::string& path, int mode, ui::DispatcherQueue queue,
                QPointer<ui::ContentDialog> progress) {
    auto outcome = std::make_shared<SettingsPage::ImportOutcome>();
    ui::PostOnce finish(std::move(queue), [progress, outcome] { SettingsPage::ShowImportResult(progress, *outcome); });
    Core* core = g_core;
    if (!core) return;
    if (kind != ImportKind::invoices) {
        ImportReport report =
            kind == ImportKind::clients ? import_clients_reported(*core, path) : import_items_reported(*core, path);
        if (!report.readable) return;
        outcome->count = report.count;
        outcome->skipped = std::move(report.skipped);
        outcome->problem_line = -1;
        return;
    }
    if (const std::optional<ImportProblem> problem = import_file_problem(path, kind)) {
        outcome->problem_line = problem->line;
        return;
    }
    core->import_invoices(path, mode, [outcome, &finish](int count) {
        outcome->count = count;
        outcome->problem_line = -1;
        finish.post();
    });
}

// The result speaks the program's language, as its own texts do.
bool in_hungarian() {
    return own_text("hu", "en") == "hu";
}

// "4., 9." or "4 and 9": at most ten numbers, then how many more.
std::string line_numbers(const std::vector<int>& lines) {
    constexpr std::size_t kShown = 10;
    const bool hungarian = in_hungarian();
    std::string text;
    const std::size_t shown = std::min(lines.size(), kShown);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) text += (!hungarian && i + 1 == shown && lines.size() <= kShown) ? " and " : ", ";
        text += std::to_string(lines[i]) + (hungarian ? "." : "");
    }
    if (lines.size() > kShown) {
        const std::string more = std::to_string(lines.size() - kShown);
        text += hungarian ? " és még " + more : " and " + more + " more";
    }
    return text;
}

std::string skip_reason(ImportSkip reason) {
    switch (reason) {
    case ImportSkip::wrong_fields:
        return own_text("hibás a mezők száma", "wrong number of fields");
    case ImportSkip::no_name:
        return own_text("nincs név", "no name");
    case ImportSkip::unknown_country:
        return own_text("az ország nincs a beállítások országai között", "the country is not among the settings' countries");
    case ImportSkip::unknown_tax:
        return own_text("az adó vagy a mértékegység nincs a beállítások között", "the tax or the unit is not in the settings");
    case ImportSkip::already_stored:
        return own_text("már szerepel a nyilvántartásban", "already stored");
    }
    return std::string();
}

// One sentence per reason: which lines were passed over, and why.
std::string skipped_lines_text(const std::map<ImportSkip, std::vector<int>>& skipped) {
    std::string text;
    for (const auto& [reason, lines] : skipped) {
        if (lines.empty()) continue;
        const bool one = lines.size() == 1;
        text += "\n";
        text += one ? own_text("Kihagyott sor (", "Line ") : own_text("Kihagyott sorok (", "Lines ");
        if (in_hungarian())
            text += skip_reason(reason) + "): " + line_numbers(lines);
        else
            text += line_numbers(lines) + " skipped: " + skip_reason(reason) + ".";
    }
    return text;
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
        message = g_core->translated("import_successful", std::to_string(outcome.count)) +
                  skipped_lines_text(outcome.skipped);
    } else if (outcome.problem_line == 0) {
        message = own_text("Az importálás nem sikerült: a fájl nem olvasható.", "The import failed: the file cannot be read.");
    } else {
        const std::string line = std::to_string(outcome.problem_line);
        message = own_text("Az importálás nem sikerült, semmi sem lett mentve: a fájl ",
                           "The import failed and nothing was saved: line ") +
                  line + own_text(". sora nem a várt formájú.", " of the file is not in the expected form.");
    }
    // Closed meanwhile (Escape): the result is shown all the same.
    settings::progress_result(progress, message);
}

}  // namespace Tavrin
