// The option buttons beside the preview: the header and footer note editors and the layout template.
#include "app/editor/DocumentPage.h"

#include "app/App.h"
#include "core/Core.h"
#include "ui/ContentDialog.h"

#include <charconv>
#include <cstdio>

using json11::Json;

namespace Tavrin {

ui::Action DocumentPage::OnOptionClick(QObject* sender) {
    if (!g_core) co_return;
    QPointer<DocumentPage> self(this);

    if (sender == taskRepeatButton) {
        EditTaskRepeat();
        co_return;
    }
    if (sender == exchangeRateButton) {
        FetchExchangeRate();
        co_return;
    }
    if (sender == logoButton) {
        ChooseLogo();
        co_return;
    }
    if (sender == colorsButton) {
        ToggleColorsPanel();
        co_return;
    }
    if (sender == fontColorButton || sender == backgroundColorButton) {
        ChooseColorTarget(sender);
        co_return;
    }
    if (sender == headerNoteButton || sender == footerNoteButton) {
        const char* key = sender == headerNoteButton ? "header_note" : "footer_note";
        QPointer<ui::ContentDialog> dialog = new ui::ContentDialog(window());
        dialog->XamlRoot(window());
        dialog->PrimaryButtonText(tr_key("save"));
        dialog->CloseButtonText(tr_key("cancel"));
        dialog->DefaultButton(ui::ContentDialogButton::Primary);
        dialog->Title(tr_key(key));
        QPointer<ui::TextBox> box = new ui::TextBox;
        box->AcceptsReturn(true);
        box->setMinimumSize(420, 160);
        box->Text(ui::qs(Json(document)[key].string_value()));
        dialog->Content(box.data());
        const ui::ContentDialogResult result = co_await dialog->ShowAsyncOrNone();
        if (!self || !dialog || !box) co_return;
        if (result == ui::ContentDialogResult::Primary) {
            document[key] = normalize_whitespace(ui::utf8(box->Text()));
            RefreshDocument();
        }
        dialog->deleteLater();
        co_return;
    }
    if (sender == templatePreviousButton || sender == templateNextButton) {
        // The type the document is shown and printed as: an archived invoice edited in place is
        // shown as an invoice, with the invoices' template.
        const int index = docTypesCombBox->SelectedIndex();
        const std::string type =
            index < 0 ? std::string() : g_core->constants["doc_types"][static_cast<std::size_t>(index)]["id"].string_value();
        if (type.empty() || type == "TASK") co_return;  // tasks have one look
        const std::string current = g_core->setting("templates")[type].string_value();
        int t = 0;
        std::from_chars(current.data(), current.data() + current.size(), t);
        t += sender == templatePreviousButton ? -1 : 1;
        if (t <= 0)
            t = 5;
        else if (t >= 6)
            t = 1;
        char code[8];
        std::snprintf(code, sizeof code, "%03d", t);
        Json::object templates = g_core->setting("templates").object_items();
        templates[type] = std::string(code);
        g_core->save_record({{"recordName", "templates"}, {"value", Json(templates).dump()}, {"synced", 0}}, "settings");
        RefreshDocument();
    }
}

}  // namespace Tavrin
