// What the client and item dialogs share to build and read their forms.
#pragma once

#include "app/App.h"
#include "core/Core.h"
#include "json11/json11.hpp"
#include "ui/Inputs.h"

#include <string>

namespace Tavrin::record_form {

// The form's own captions (not translation keys), in the program's language.
inline QString own_caption(const char* hu, const char* en) {
    return ui::qs(own_text(hu, en));
}

inline json11::Json::array setting_list(const char* key) {
    return g_core ? g_core->setting(key).array_items() : json11::Json::array();
}

// The `id` of the entry at a combo box's position: empty without one.
inline std::string id_at(const json11::Json::array& list, int index) {
    return index < 0 ? std::string() : json11::Json(list)[static_cast<std::size_t>(index)]["id"].string_value();
}

// Fills a combo box with the names of `list` and selects the entry with `id` (the first when none has it).
inline void fill(ui::ComboBox* box, const json11::Json::array& list, const std::string& id) {
    for (const json11::Json& entry : list) box->Append(ui::qs(entry["name"].string_value()));
    if (list.empty()) return;
    box->SelectedItem(ui::qs(json11::Json(find_object(list, true, "id", id))["name"].string_value()));
}

// The money limit of Core::line_limit and Core::totals_limit, as the messages say it.
inline std::string amount_limit_text() {
    return own_text("egy számla összegeiben legfeljebb 13 számjegy állhat a tizedesjel előtt.",
                    "the amounts of an invoice have at most 13 digits before the decimal point.");
}

// Why a line, a price or a quantity cannot go onto an invoice; empty when it can.
inline QString limit_message(Core::LineLimit limit) {
    switch (limit) {
    case Core::LineLimit::Quantity:
        return own_caption("A mennyiség túl nagy: legfeljebb 12 számjegy állhat a tizedesjel előtt.",
                           "The quantity is too large: at most 12 digits may stand before the decimal point.");
    case Core::LineLimit::Price:
        return own_caption("Az ár túl nagy: legfeljebb 12 számjegy állhat a tizedesjel előtt.",
                           "The price is too large: at most 12 digits may stand before the decimal point.");
    case Core::LineLimit::Amount:
        return ui::qs(own_text("A tétel összege túl nagy: ", "The line's amount is too large: ") + amount_limit_text());
    case Core::LineLimit::Fits: break;
    }
    return QString();
}

// A total of a document beyond the money limit, named: "Bruttó összesen", "Nettó (27%)", and so on.
inline std::string total_limit_text(const Core::TotalLimit& total) {
    std::string name;
    switch (total.kind) {
    case Core::TotalLimit::Kind::Net: name = own_text("Nettó", "Net"); break;
    case Core::TotalLimit::Kind::Tax: name = own_text("ÁFA", "Tax"); break;
    case Core::TotalLimit::Kind::Gross: name = own_text("Bruttó", "Gross"); break;
    }
    name += total.label.empty() ? own_text(" összesen", " total") : " (" + total.label + ")";
    if (total.converted) name += own_text(" az árfolyammal átszámítva", " at the exchange rate");
    return name + ": " + amount_limit_text();
}

// A text box's text with its blanks tidied.
inline std::string typed(const ui::TextBox* box) {
    return normalize_whitespace(ui::utf8(box->Text()));
}

// An input control named for the tests and captioned for the user.
template <class Control>
Control* captioned(const char* name, const QString& header) {
    auto* control = new Control;
    control->setObjectName(name);
    control->Header(header);
    return control;
}

}  // namespace Tavrin::record_form
