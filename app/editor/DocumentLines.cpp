// Editing the document's lines: a click on a line of the preview opens it in the line dialog, and
// the add-line button starts a new line there.
#include "app/editor/DocumentPage.h"
#include "app/editor/LineDlg.h"

#include "app/App.h"
#include "core/Core.h"
#include "ui/ContentDialog.h"

#include <cstdlib>

using json11::Json;

namespace Tavrin {

namespace {

// The frame of the line dialog: save and cancel, and delete for a line that is already there.
ui::ContentDialog* line_dialog(QWidget* window, bool with_delete) {
    auto* dialog = new ui::ContentDialog(window);
    dialog->XamlRoot(window);
    dialog->PrimaryButtonText(tr_key("save"));
    if (with_delete) dialog->SecondaryButtonText(tr_key("delete"));
    dialog->CloseButtonText(tr_key("cancel"));
    dialog->DefaultButton(ui::ContentDialogButton::Primary);
    return dialog;
}

}  // namespace

ui::Action DocumentPage::OnPreviewMessage(ui::WebView2*, ui::WebMessageReceivedEventArgs args) {
    if (!g_core) co_return;
    QPointer<DocumentPage> self(this);
    const long index = std::atol(ui::utf8(args.WebMessageAsJson()).c_str());
    // A message that names no line (not posted by a line row, or from an older preview) is ignored.
    if (index < 0 || index >= static_cast<long>(lines.size())) co_return;
    const Json::object line = lines[static_cast<std::size_t>(index)].object_items();

    QPointer<ui::ContentDialog> dialog = line_dialog(window(), true);
    dialog->Title(ui::qs(Json(line)["name"].string_value()));
    QPointer<LineDlg> editor = new LineDlg;
    dialog->Content(editor.data());
    editor->FillFromItem(document, line);

    const ui::ContentDialogResult result = co_await dialog->ShowAsyncOrNone();
    if (!self || !dialog || !editor) co_return;
    // The lines may have changed while the dialog was open: the position is checked again.
    const auto position = static_cast<std::size_t>(index);
    if (result == ui::ContentDialogResult::Primary && position < lines.size())
        lines[position] = Json(editor->ReadLine());
    else if (result == ui::ContentDialogResult::Secondary && position < lines.size())
        lines.erase(lines.begin() + index);
    RefreshDocument();
    dialog->deleteLater();
}

ui::Action DocumentPage::OnAddClick(QObject* sender) {
    if (!g_core) co_return;
    QPointer<DocumentPage> self(this);
    const std::string name = ui::Name(sender);
    // Any other add button makes a client ("newClient") or an item.
    if (name != "newLine") {
        AddRecord(name == "newClient");
        co_return;
    }

    QPointer<ui::ContentDialog> dialog = line_dialog(window(), false);
    const Json::object start{{"tax_id", g_core->setting("taxes")[0]["id"]},
                             {"unit_id", g_core->setting("units")[0]["id"]},
                             {"quantity", 1},
                             {"discount", 0}};
    QPointer<LineDlg> editor = new LineDlg;
    dialog->Content(editor.data());
    editor->FillFromItem(document, start);

    const ui::ContentDialogResult result = co_await dialog->ShowAsyncOrNone();
    if (!self || !dialog || !editor) co_return;
    if (result == ui::ContentDialogResult::Primary) {
        lines.emplace_back(editor->ReadLine());
        RefreshDocument();
    }
    dialog->deleteLater();
}

}  // namespace Tavrin
