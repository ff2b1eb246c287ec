// The live preview: the controls are copied into the document, which is rendered into the preview.
#include "app/editor/DocumentPage.h"

#include "app/MainWindow.h"
#include "core/Core.h"
#include "core/views/document_view.h"

#include <tuple>

using json11::Json;

namespace Tavrin {

// What the preview shows once the last script sent to it has run, and that script's mark.
struct ShownPreview {
    DocumentPageParts parts;
    long generation = 0;
};

namespace {

// The list entry at a selector's position: null when nothing is selected.
Json entry_at(const Json& list, int index) {
    return index < 0 ? Json() : list[static_cast<std::size_t>(index)];
}

// A text inside a single-quoted script string.
std::string single_quoted(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\' || c == '\'') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string picker_date(const ui::CalendarDatePicker* picker) {
    // A picker always holds a date once the page is open; an empty one stands for today.
    const std::optional<QDate> date = picker->Date();
    return date ? ui::utf8(date->toString(Qt::ISODate)) : iso_date(0);
}

// The note selector shows the note the document holds: its entry when the type has one with that
// text; otherwise (a note kept from another type, or written in the note editor) the note itself,
// greyed in the empty box, with no entry chosen, so that no entry's text replaces it.
void show_note(Core& core, ui::ComboBox* box, const char* key, const std::string& note) {
    box->List()->setToolTip(QString());
    if (note.empty()) {
        box->PlaceholderText(QString());
        return;
    }
    for (int i = 0; i < box->Size(); ++i) {
        if (ui::utf8(box->ItemTag(i).toString()) == note) {
            box->SelectedIndex(i);
            box->PlaceholderText(QString());
            return;
        }
    }
    // The whole note, where the box shows only its start.
    box->List()->setToolTip(ui::qs(note));
    QString label;
    const Json notes = core.setting(key);
    for (const Json& entry : notes.array_items())
        if (entry["note"].string_value() == note && !entry["name"].string_value().empty()) {
            label = ui::qs(entry["name"].string_value());
            break;
        }
    if (label.isEmpty()) label = ui::qs(note).section(QLatin1Char('\n'), 0, 0);
    constexpr int kLongest = 40;
    if (label.size() > kLongest) label = label.left(kLongest - 1) + QString::fromUtf8("\u2026");
    box->SelectedIndex(-1);
    box->PlaceholderText(label);
}

}  // namespace

ui::Action DocumentPage::RefreshDocument() {
    if (!g_core) co_return;
    Core& core = *g_core;
    QPointer<DocumentPage> self(this);

    const std::string type = entry_at(core.constants["doc_types"], docTypesCombBox->SelectedIndex())["id"].string_value();
    document["type"] = type;
    document["template"] = core.setting("templates")[type].string_value();
    document["number"] = editing && type == stored_type_ && stored_number_ > 0 ? stored_number_ : core.next_number(type);
    // The type list has no archived invoices: one edited in place keeps its type and number 0.
    const bool archived = editing && (stored_type_ == "ARCHIVE_INVOICE" ||
                                      Json(document)["recordName"].string_value().rfind("ARCHIVE-", 0) == 0);
    if (archived) {
        document["type"] = "ARCHIVE_INVOICE";
        document["number"] = 0;
    }
    document["number_formatted"] = ui::utf8(numberTextBox->Text());
    document["language_code"] = ui::utf8(languagesCombBox->SelectedText());
    document["currency_code"] = ui::utf8(currenciesCombBox->SelectedText());
    document["exchange_rate"] = currenciesCombBox->SelectedIndex() == 0 ? 1.0 : exchangeRateNumberBox->Value();
    const Json payment = entry_at(core.setting("payments"), paymentsCombBox->SelectedIndex());
    document["payment_id"] = payment["id"].string_value();
    document["payment_name"] = payment["payment_name"].string_value();
    document["payment_bank"] = payment["bank"].string_value();
    document["delivery_date"] = picker_date(deliveryDatePicker);
    document["due_date"] = picker_date(dueDatePicker);
    for (auto [key, box, list] : {std::tuple{"header_note", headerNotesCombBox, "header_notes"},
                                  std::tuple{"footer_note", footerNotesCombBox, "footer_notes"}}) {
        std::string note = Json(document)[key].string_value();
        if (note.empty() && box->SelectedIndex() >= 0) note = ui::utf8(box->SelectedTag().toString());
        document[key] = note;
        show_note(core, box, list, note);
    }

    numberTextBox->IsEnabled(type != "INVOICE");
    deliveryDatePicker->Header(ui::qs(core.translated(type == "TASK" ? "from_date" : "delivery_date", "")));

    DocumentPageParts parts = document_page_parts(core, -1, Json(document), Json(lines), "0,0",
                                                  shown_preview_ ? &shown_preview_->parts : nullptr);
    const std::string stamp = core.translated("tavrin_invoice", "");
    // Only what changed is replaced in the shown page, and its pages are filled again from the first
    // one that can have changed. The page marks what it shows: a page that is not the one this page
    // last sent a script for (a new navigation, a script that failed) refuses the change.
    const long generation = ++preview_generation_;
    std::string script;
    if (shown_preview_ && previewWebView->IsLoaded())
        script = page_update_script(shown_preview_->parts, parts, stamp, shown_preview_->generation, generation);
    const bool partial = !script.empty();
    if (!partial) {
        // The page breaks and the page numbers go with the page in one script, so the preview never
        // shows the rows before they are split into pages. The empty page has no page script.
        script = page_write_script(parts.whole()) + "if(typeof setPageNumbers=='function')setPageNumbers(-1,-1, '" +
                 single_quoted(stamp) + "');document.previewShown=" + std::to_string(generation) + ";true";
    }
    shown_preview_ = std::make_shared<ShownPreview>(ShownPreview{std::move(parts), generation});
    QString result;
    try {
        result = co_await previewWebView->ExecuteScriptAsync(ui::qs(script));
    } catch (...) {
        // The preview went away or could not run the script: nothing more to show.
        if (self && shown_preview_ && shown_preview_->generation == generation) shown_preview_.reset();
        co_return;
    }
    if (!self || !g_core) co_return;
    if (partial && result != QStringLiteral("true")) {
        // The page was not the one the change was worked out for: the last refresh writes it whole.
        if (shown_preview_ && shown_preview_->generation == generation) {
            shown_preview_.reset();
            RefreshDocument();
        }
        co_return;
    }
    if (ui::Window* window = DocumentWindow()) window->Title(ui::qs(Json(document)["number_formatted"].string_value()));
    ++previews_shown;
}

}  // namespace Tavrin
