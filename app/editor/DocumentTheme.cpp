// The exchange rate of a foreign currency, the company logo and the two theme colours of the layout.
#include "app/editor/DocumentSave.h"

#include "app/App.h"
#include "core/Core.h"
#include "ui/Pickers.h"

#include <QColor>
#include <QDateEdit>
#include <QVariant>

#include <cmath>
#include <cstdio>
#include <optional>

using json11::Json;

namespace Tavrin {

namespace {

const char* const kTargetStyle = "targetStyle";

// Six hexadecimal digits as red, green and blue; nothing for any other text.
std::optional<QColor> hex_to_color(const std::string& text) {
    if (text.size() < 6) return std::nullopt;
    unsigned red = 0, green = 0, blue = 0;
    for (std::size_t i = 0; i < 6; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    if (std::sscanf(text.c_str(), "%02x%02x%02x", &red, &green, &blue) != 3) return std::nullopt;
    return QColor(static_cast<int>(red), static_cast<int>(green), static_cast<int>(blue), 255);
}

void set_target_style(ui::Button* button, bool on) {
    button->setProperty(kTargetStyle, on);
    button->setStyleSheet(on ? "font-weight: bold; border: 2px solid palette(highlight); padding: 4px;" : QString());
}

void show_message(QWidget* root, const QString& title, const std::string& text) {
    auto* dialog = new ui::ContentDialog(root);
    dialog->XamlRoot(root);
    dialog->Title(title);
    dialog->Content(ui::qs(text));
    dialog->PrimaryButtonText(tr_key("ok"));
    dialog->DefaultButton(ui::ContentDialogButton::Primary);
    dialog->Closed.Add(dialog, [](ui::ContentDialog* sender, ui::ContentDialogClosedEventArgs) { sender->deleteLater(); });
    try {
        dialog->ShowAsync();
    } catch (...) {
        dialog->deleteLater();
    }
}

}  // namespace

bool has_target_style(const QWidget* button) {
    return button && button->property(kTargetStyle).toBool();
}

std::string DocumentPage::DeliveryDateText() const {
    const std::optional<QDate> delivery = deliveryDatePicker->Date();
    return delivery ? ui::utf8(delivery->toString(Qt::ISODate)) : iso_date(0);
}

void DocumentPage::FetchExchangeRate() {
    if (!g_core) return;
    const ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    const std::string date = DeliveryDateText();
    const std::string currency = ui::utf8(currenciesCombBox->SelectedText());
    // Asked for this date: a failure is told, and the date's own rate is not asked for again unasked.
    rate_date_ = date;
    QPointer<DocumentPage> self(this);
    // The request blocks for its one round trip; the rate is applied by a posted task.
    mnb_exchange_rates(currency, date, [queue, self](double rate) {
        queue.TryEnqueue(ui::DispatcherQueuePriority::Normal, [self, rate] {
            if (!self) return;
            if (!(rate > 0) || !std::isfinite(rate)) {
                // No rate is no rate of 0: the box keeps its value and the user types one in.
                show_message(self->window(), tr_key("exchange_rate"),
                             own_text("Az árfolyamot nem sikerült lekérni. Kérjük, írja be.",
                                      "The exchange rate could not be fetched. Please type it in."));
                return;
            }
            self->writing_rate_ = true;
            self->exchangeRateNumberBox->Value(rate);
            self->writing_rate_ = false;
            self->rate_typed_ = false;
            self->RefreshDocument();
        });
    });
}

void DocumentPage::ClearExchangeRate() {
    writing_rate_ = true;
    exchangeRateNumberBox->Value(std::nan(""));
    writing_rate_ = false;
    rate_typed_ = false;
}

void DocumentPage::OnCurrencyChanged(const std::string& previous) {
    // Position 0 is the home currency, which needs no rate.
    const bool foreign = currenciesCombBox->SelectedIndex() > 0;
    const ui::Visibility shown = foreign ? ui::Visibility::Visible : ui::Visibility::Collapsed;
    ui::SetVisibility(exchangeRateNumberBox, shown);
    ui::SetVisibility(exchangeRateButton, shown);
    if (!foreign) return;
    const double rate = exchangeRateNumberBox->Value();
    if (ui::utf8(currenciesCombBox->SelectedText()) == previous && std::isfinite(rate) && rate > 0 &&
        (rate_typed_ || rate_date_ == DeliveryDateText()))
        return;
    // The rate of another currency (or of another day) is no rate of this one: until the fetched one
    // comes, or where none comes, the box is empty and the user is asked to type it.
    ClearExchangeRate();
    FetchExchangeRate();
}

void DocumentPage::OnDeliveryDateCommitted() {
    if (!loaded || currenciesCombBox->SelectedIndex() <= 0) return;
    const std::string date = DeliveryDateText();
    if (date == rate_date_) return;
    const double rate = exchangeRateNumberBox->Value();
    if (rate_typed_ && std::isfinite(rate) && rate > 0) {
        AskToReplaceTypedRate(date);
        return;
    }
    ClearExchangeRate();
    FetchExchangeRate();
}

ui::Action DocumentPage::AskToReplaceTypedRate(std::string date) {
    // Asked once per date: leaving the box again without a change asks nothing.
    rate_date_ = date;
    QPointer<DocumentPage> self(this);
    QPointer<ui::ContentDialog> ask = new ui::ContentDialog(window());
    ask->XamlRoot(window());
    ask->Title(tr_key("exchange_rate"));
    ask->Content(ui::qs(own_text("A teljesítés dátuma most ", "The delivery date is now ") +
                        ui::utf8(deliveryDatePicker->Editor()->text()) +
                        own_text(", de az árfolyamot (", ", but the exchange rate (") +
                        ui::utf8(exchangeRateNumberBox->Text()) +
                        own_text(") kézzel írta be. Lekéri az új dátum árfolyamát, vagy megtartja a beírtat?",
                                 ") was typed by hand. Fetch the rate of the new date, or keep the typed one?")));
    ask->PrimaryButtonText(ui::qs(own_text("Új árfolyam lekérése", "Fetch the new rate")));
    ask->CloseButtonText(ui::qs(own_text("Beírt árfolyam marad", "Keep the typed rate")));
    ask->DefaultButton(ui::ContentDialogButton::Primary);
    const ui::ContentDialogResult result = co_await ask->ShowAsyncOrNone();
    if (ask) ask->deleteLater();
    if (!self || !g_core) co_return;
    // The date changed again meanwhile: its own question or fetch follows that change.
    if (result != ui::ContentDialogResult::Primary || DeliveryDateText() != date) co_return;
    ClearExchangeRate();
    FetchExchangeRate();
}

ui::Action DocumentPage::ChooseLogo() {
    if (!g_core) co_return;
    QPointer<DocumentPage> self(this);
    ui::FileOpenPicker picker;
    picker.Owner(window());
    picker.FileTypeFilter({".png", ".jpg", ".jpeg"});
    ui::StorageFile file;
    try {
        file = co_await picker.PickSingleFileAsync();
    } catch (...) {
        co_return;
    }
    if (!self || !file || !g_core) co_return;

    QPointer<ui::ContentDialog> dialog = new ui::ContentDialog(window());
    dialog->XamlRoot(window());
    dialog->Title(tr_key("logo"));
    dialog->Content(tr_key("saving"));
    dialog->DefaultButton(ui::ContentDialogButton::Primary);
    hold_dialog_open(dialog);
    dialog->ShowAsync();
    const ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    const QString path = file.Path();
    QPointer<QWidget> shown = dialog.data();
    ui::ThreadPool::RunAsync([path, queue, self, shown] { UploadLogo(path, queue, self, shown); });
}

void DocumentPage::UploadLogo(QString path, ui::DispatcherQueue queue, QPointer<DocumentPage> page, QPointer<QWidget> dialog) {
    // The dialog goes once the upload has ended, whether or not its completion came.
    ui::PostOnce end(queue, [page, dialog] {
        if (page) page->RefreshDocument();
        if (auto* shown = qobject_cast<ui::ContentDialog*>(dialog.data())) {
            release_dialog(shown);
            shown->Hide();
            shown->deleteLater();
        }
    });
    Core* core = g_core;
    if (!core) return;
    core->upload_logo_asset(ui::utf8(path), core->current_account + "logo", [&end](Json) { end.post(); });
}

void DocumentPage::ToggleColorsPanel() {
    if (!g_core) return;
    const bool pivot_was_visible = ui::GetVisibility(recordsPivot) == ui::Visibility::Visible;
    ui::SetVisibility(recordsPivot, pivot_was_visible ? ui::Visibility::Collapsed : ui::Visibility::Visible);
    const bool panel_visible = pivot_was_visible;
    ui::SetVisibility(colorsPanel, panel_visible ? ui::Visibility::Visible : ui::Visibility::Collapsed);
    colorsButton->Content(tr_key(panel_visible ? "colors_close" : "colors"));
    set_target_style(fontColorButton, true);
    set_target_style(backgroundColorButton, false);
    if (auto color = hex_to_color(g_core->setting("theme_colors")["accent_font_color"].string_value()))
        themeColorPicker->Color(*color);
}

void DocumentPage::ChooseColorTarget(QObject* sender) {
    if (!g_core) return;
    const bool font = sender == fontColorButton;
    set_target_style(fontColorButton, font);
    set_target_style(backgroundColorButton, !font);
    const char* key = font ? "accent_font_color" : "accent_background_color";
    if (auto color = hex_to_color(g_core->setting("theme_colors")[key].string_value())) themeColorPicker->Color(*color);
}

void DocumentPage::OnThemeColorChanged(ui::ColorPicker*) {
    if (!g_core || !loaded) return;
    Json::object colors = g_core->setting("theme_colors").object_items();
    const QColor color = themeColorPicker->Color();
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x", color.red() & 0xff, color.green() & 0xff, color.blue() & 0xff);
    colors[has_target_style(fontColorButton) ? "accent_font_color" : "accent_background_color"] = std::string(hex);
    g_core->save_record({{"recordName", "theme_colors"}, {"value", Json(colors).dump()}, {"synced", 0}}, "settings");
    RefreshDocument();
}

void DocumentPage::OnColorSelectionChanged(ui::ListView*) {
    const int index = colorSwatchList->SelectedIndex();
    if (index < 0) return;
    const QVariant tag = colorSwatchList->TagAt(index);
    const QColor color = tag.value<QColor>();
    if (!color.isValid()) return;
    themeColorPicker->Color(color);
    // Stored also when the picker showed that colour already.
    OnThemeColorChanged(themeColorPicker);
}

}  // namespace Tavrin
