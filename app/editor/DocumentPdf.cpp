// The PDF of the saved document, printed from the page's preview, and its upload with the invoice
// data to the accounting service.
#include "app/editor/DocumentSave.h"

#include "core/Core.h"
#include "core/store/store_internal.h"

#include <filesystem>
#include <system_error>

#include <unistd.h>

using json11::Json;

namespace Tavrin {

ui::Action DocumentPage::UploadDocumentPdf(SaveContextPtr context) {
    // The result dialog waits for this on every road.
    struct Ended {
        ui::AsyncAction upload;
        ~Ended() { upload.Complete(ui::Unit{}); }
    } ended{context->upload ? *context->upload : ui::AsyncAction()};

    Core* core = g_core;
    if (!core) co_return;
    const auto documents = store::rows(*core, "SELECT * FROM documents WHERE recordName = ?", {Json(context->recordName)});
    if (documents.empty()) co_return;
    const Json::object document = documents.front();
    std::vector<Json> lines;
    for (Json::object& row : store::rows(*core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id",
                                         {Json(context->recordName)}))
        lines.emplace_back(std::move(row));

    // Without a token there is nothing to send: no empty credentials go out.
    const std::vector<std::string> pieces = split('_', core->setting("defaults")["accounting"].string_value());
    if (pieces.size() < 2 || pieces[1].empty()) co_return;
    const std::string token = pieces[1];

    const std::string folder = core->data_folder + "tmp/";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const std::string path = folder + pdf_file_name(Json(document)["number_formatted"].string_value()) + ".pdf";
    // An older file of the same name is never sent in this one's place.
    ::unlink(path.c_str());

    QPointer<DocumentPage> page = context->page;
    if (!page || !page->previewWebView) co_return;
    const ui::PrintSettings settings = a4_print_settings();
    bool printed = false;
    try {
        // The preview's frame around its pages is for the screen: on paper each page fills one sheet.
        co_await page->previewWebView->ExecuteScriptAsync(
            "if(!document.getElementById('printFrame')){var s=document.createElement('style');s.id='printFrame';"
            "s.textContent='@media print{body{margin:0 !important}.page{box-shadow:none !important}}';"
            "document.head.appendChild(s);}1");
        if (!page) co_return;
        printed = co_await page->previewWebView->PrintToPdfAsync(ui::qs(path), settings);
    } catch (...) {
        printed = false;
    }
    if (!printed || !std::filesystem::exists(path, ignored)) co_return;

    // The request blocks until the service answers: it runs on a pool thread, not on the UI's.
    ui::AsyncAction sent;
    ui::ThreadPool::RunAsync([sent, lines, document, token, path] {
        struct Done {
            ui::AsyncAction sent;
            ~Done() { sent.Complete(ui::Unit{}); }
        } done{sent};
        if (Core* c = g_core) c->cashbook_upload(lines, document, token, path);
    });
    co_await sent;
}

}  // namespace Tavrin
