// Printing views to PDF and showing the PDF in its tab.
#include "app/MainWindow.h"

#include "app/App.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/Pickers.h"
#include "ui/Printing.h"

#include <QFile>
#include <QSaveFile>

#include <chrono>
#include <stdexcept>
#include <string_view>
#include <thread>

using json11::Json;

namespace Tavrin {

namespace {

// The property of a tab's view that holds the PDF it shows.
constexpr const char* kPrintedPdf = "printedPdf";

// The short wait before a printed view is shown, spent on a pool thread.
ui::AsyncAction pause_200ms() {
    ui::AsyncAction done;
    ui::ThreadPool::RunAsync([done] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        done.Complete(ui::Unit{});
    });
    return done;
}

}  // namespace

std::string pdf_file_name(const std::string& number_formatted) {
    const std::string folded = remove_diacritics(number_formatted);
    std::string name;
    name.reserve(folded.size());
    for (std::size_t i = 0; i < folded.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(folded[i]);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') {
            name += static_cast<char>(c);
            continue;
        }
        name += '-';
        // One hyphen per character: the continuation bytes of a UTF-8 sequence belong to it.
        if (c >= 0xC0)
            while (i + 1 < folded.size() && (static_cast<unsigned char>(folded[i + 1]) & 0xC0) == 0x80) ++i;
    }
    return name;
}

std::string saved_pdf_name(const std::string& title) {
    std::string name;
    name.reserve(title.size());
    for (const char c : title) {
        const bool unfit =
            static_cast<unsigned char>(c) < 0x20 || std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos;
        name += unfit ? '_' : c;
    }
    // A name that would hide the file, or none at all.
    if (name.empty()) return "document";
    if (name.front() == '.') name.front() = '_';
    return name;
}

ui::PrintSettings a4_print_settings() {
    ui::PrintSettings settings;
    settings.MarginTop = 0;
    settings.MarginLeft = 0;
    settings.MarginRight = 0;
    settings.MarginBottom = 0;
    settings.ShouldPrintHeaderAndFooter = false;
    settings.ShouldPrintBackgrounds = true;
    settings.PageWidth = 8.3;
    settings.PageHeight = 11.7;
    return settings;
}

// A document or report written into the print view is printed to a PDF in the data folder and shown
// in its own tab: the tab whose Tag is the print view's (the newest report tab for a report), else
// the selected one, so that switching tabs meanwhile does not put the PDF in the wrong tab.
ui::Action MainWindow::OnPrintNavigationCompleted(ui::WebView2*, ui::NavigationCompletedEventArgs) {
    if (!g_core) co_return;
    QPointer<MainWindow> self(this);
    const std::string tag = ui::TagText(print_view->Tag());
    std::string name = "document";
    if (tag == "report") {
        name = "tavrin-report";
    } else {
        const auto rows = store::rows(*g_core, "SELECT number_formatted FROM documents WHERE recordName = ?", {Json(tag)});
        if (!rows.empty()) {
            auto found = rows[0].find("number_formatted");
            const std::string number = found != rows[0].end() ? found->second.string_value() : std::string();
            if (!number.empty()) name = pdf_file_name(number);
        }
    }
    const std::string path = g_core->data_folder + name + ".pdf";

    QPointer<ui::TabViewItem> target;
    for (int i = tabView->Size() - 1; i >= 1 && !target; --i)
        if (!tag.empty() && ui::TagText(tabView->GetAt(i)->Tag()) == tag) target = tabView->GetAt(i);
    if (!target) target = tabView->SelectedItem();

    const ui::PrintSettings settings = a4_print_settings();
    bool printed = false;
    try {
        printed = co_await print_view->PrintToPdfAsync(ui::qs(path), settings);
    } catch (const std::exception&) {
        co_return;  // the window went while printing
    }
    if (!self || !target || !printed) co_return;
    QPointer<ui::WebView2> view = qobject_cast<ui::WebView2*>(target->Content());
    if (!view) co_return;
    view->Source(QUrl::fromLocalFile(ui::qs(path)));
    // The tab keeps what it shows: the next report is printed to the same file.
    QFile file(ui::qs(path));
    if (file.open(QIODevice::ReadOnly)) view->setProperty(kPrintedPdf, file.readAll());

    co_await pause_200ms();
    if (!self || !view) co_return;
    ui::SetVisibility(view, ui::Visibility::Visible);
    // Its commands to save and print it are ready now.
    if (tabView->SelectedItem() == target) OnTabSelectionChanged();
}

ui::AsyncOperation<bool> MainWindow::TabShowsStored(QPointer<ui::TabViewItem> tab, QByteArray pdf) {
    ui::AsyncOperation<bool> result;
    AnswerTabShowsStored(tab, pdf, result);
    return result;
}

ui::Action MainWindow::AnswerTabShowsStored(QPointer<ui::TabViewItem> tab, QByteArray pdf, ui::AsyncOperation<bool> result) {
    QPointer<MainWindow> self(this);
    co_await FollowDocumentTabs();
    const bool stored = self && tab && TabPdf(tab) == pdf;
    result.Complete(stored);
    if (!self || stored) co_return;
    ShowMessage(ui::qs(own_text("A dokumentum megváltozott", "The document changed")),
                ui::qs(own_text("A lapon látható dokumentum közben megváltozott vagy új számot kapott, ezért a PDF nem "
                                "készült el. A lap a most tárolt változatot mutatja: mentse vagy nyomtassa újra.",
                                "The document shown in the tab changed or took a new number meanwhile, so no PDF was "
                                "made. The tab shows the document as it is stored now: save or print it again.")));
}

QByteArray MainWindow::TabPdf(const ui::TabViewItem* tab) {
    const QWidget* view = tab ? tab->Content() : nullptr;
    return view ? view->property(kPrintedPdf).toByteArray() : QByteArray();
}

void MainWindow::ForgetTabPdf(ui::TabViewItem* tab) {
    if (QWidget* view = tab ? tab->Content() : nullptr) view->setProperty(kPrintedPdf, QVariant());
}

ui::Action MainWindow::SavePdf(QPointer<ui::TabViewItem> tab) {
    const QByteArray pdf = TabPdf(tab);
    if (pdf.isEmpty()) co_return;
    QPointer<MainWindow> self(this);
    ui::FileSavePicker picker;
    picker.Owner(this);
    picker.FileTypeChoice("PDF", {".pdf"});
    picker.SuggestedFileName(ui::qs(saved_pdf_name(ui::utf8(tab->Header())) + ".pdf"));
    const ui::StorageFile file = co_await picker.PickSaveFileAsync();
    if (!self || !file) co_return;
    // Only what is stored under the number the tab carries is written.
    if (!co_await TabShowsStored(tab, pdf) || !self) co_return;
    QSaveFile out(file.Path());
    if (out.open(QIODevice::WriteOnly) && out.write(pdf) == pdf.size() && out.commit()) co_return;
    ShowMessage(ui::qs(own_text("Mentés PDF-ként", "Save as PDF")),
                ui::qs(own_text("A PDF nem írható ide:", "The PDF could not be written to")) + "\n" + file.Path() + "\n" +
                    out.errorString());
}

ui::Action MainWindow::PrintPdf(QPointer<ui::TabViewItem> tab) {
    const QByteArray pdf = TabPdf(tab);
    if (pdf.isEmpty()) co_return;
    QPointer<MainWindow> self(this);
    ui::PrintDialog dialog;
    dialog.Owner(this);
    dialog.DocumentName(ui::qs(saved_pdf_name(ui::utf8(tab->Header()))));
    dialog.Document(pdf);
    const bool chosen = co_await dialog.ShowAsync();
    if (!self || !chosen) co_return;
    if (!co_await TabShowsStored(tab, pdf) || !self) co_return;
    const bool printed = co_await dialog.PrintAsync();
    if (!self || printed) co_return;
    ShowMessage(ui::qs(own_text("Nyomtatás", "Print")),
                ui::qs(own_text("A nyomtatás nem sikerült: a nyomtató nem fogadta a dokumentumot.",
                                "Printing failed: the printer did not take the document.")));
}
}  // namespace Tavrin
