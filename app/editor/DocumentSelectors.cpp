// The type, language, currency, payment and note selectors and the exchange rate.
#include "app/editor/DocumentPage.h"

#include "core/Core.h"

using json11::Json;

namespace Tavrin {

void DocumentPage::OnSelectorChanged(QObject* sender) {
    if (!g_core) return;
    if (sender == docTypesCombBox) {
        const int index = docTypesCombBox->SelectedIndex();
        const Json entry = index < 0 ? Json() : g_core->constants["doc_types"][static_cast<std::size_t>(index)];
        const std::string type = entry["id"].string_value();
        const bool task = type == "TASK";
        ui::SetVisibility(taskRepeatButton, task ? ui::Visibility::Visible : ui::Visibility::Collapsed);
        ui::SetVisibility(deliveryDatePicker, task ? ui::Visibility::Collapsed : ui::Visibility::Visible);
        numberTextBox->Text(ui::qs(g_core->next_number_formatted(type)));
        FillDocumentNotes();
    } else if (sender == currenciesCombBox) {
        // The last refresh wrote the currency shown until now.
        OnCurrencyChanged(Json(document)["currency_code"].string_value());
    }
    if (sender == headerNotesCombBox || sender == footerNotesCombBox) {
        auto* box = static_cast<ui::ComboBox*>(sender);
        // A type without notes has nothing to choose: the document's note stays.
        if (box->SelectedIndex() >= 0)
            document[sender == headerNotesCombBox ? "header_note" : "footer_note"] = ui::utf8(box->SelectedTag().toString());
    }
    RefreshDocument();
}

void DocumentPage::FillDocumentNotes() {
    if (!g_core) return;
    const int index = docTypesCombBox->SelectedIndex();
    const std::string type =
        index < 0 ? std::string() : g_core->constants["doc_types"][static_cast<std::size_t>(index)]["id"].string_value();
    for (auto [key, box] : {std::pair{"header_notes", headerNotesCombBox}, std::pair{"footer_notes", footerNotesCombBox}}) {
        box->Clear();
        const Json notes = g_core->setting(key);
        for (const Json& note : notes.array_items())
            if (note["type"].string_value() == type)
                box->Append(ui::qs(note["name"].string_value()), ui::qs(note["note"].string_value()));
    }
    // An empty list keeps no selection.
    headerNotesCombBox->SelectedIndex(0);
    footerNotesCombBox->SelectedIndex(0);
}

void DocumentPage::OnExchangeRateChanged(ui::NumberBox* sender, ui::NumberBoxValueChangedEventArgs) {
    if (!loaded) return;
    if (!writing_rate_) {
        // Typed by the user, for the delivery date shown.
        rate_typed_ = true;
        rate_date_ = DeliveryDateText();
    }
    document["exchange_rate"] = sender->Value();
    RefreshDocument();
}

}  // namespace Tavrin
