#include "app/settings/SettingsSupport.h"

#include "app/App.h"
#include "core/Core.h"

#include <QBoxLayout>

using json11::Json;

namespace Tavrin::settings {

QString caption(const std::string& key) {
    return g_core ? ui::qs(g_core->translated(key, "")) : QString();
}

ui::Panel* new_stack() {
    auto* stack = new ui::Panel(ui::Panel::Orientation::Vertical);
    auto* layout = static_cast<QBoxLayout*>(stack->layout());
    layout->setContentsMargins(0, 24, 0, 0);
    layout->setSpacing(24);
    return stack;
}

int child_count(QWidget* panel) {
    QLayout* layout = panel ? panel->layout() : nullptr;
    if (!layout) return 0;
    int count = 0;
    for (int i = 0; i < layout->count(); ++i)
        if (layout->itemAt(i)->widget()) ++count;
    return count;
}

QWidget* child_at(QWidget* panel, int index) {
    QLayout* layout = panel ? panel->layout() : nullptr;
    if (!layout || index < 0) return nullptr;
    for (int i = 0; i < layout->count(); ++i) {
        QWidget* child = layout->itemAt(i)->widget();
        if (!child) continue;
        if (index-- == 0) return child;
    }
    return nullptr;
}

ui::TextBox* text_box(const QString& header, const std::string& text) {
    auto* box = new ui::TextBox;
    box->Header(header);
    box->Text(ui::qs(text));
    return box;
}

std::string text_of(const ui::TextBox* box) {
    return box ? ui::utf8(box->Text()) : std::string();
}

bool write_setting(const std::string& key, const Json& value) {
    if (!g_core) return false;
    return g_core->save_record(Json::object{{"recordName", key}, {"value", value.dump()}, {"synced", 0}}, "settings");
}

void finish_progress(ui::ContentDialog* progress) {
    if (!progress) return;
    if (ui::ContentDialog::Current() == progress) progress->Hide();
    progress->deleteLater();
}

void progress_result(ui::ContentDialog* progress, const std::string& message) {
    if (!progress) return;
    progress->PrimaryButtonText(caption("ok"));
    progress->Content(ui::qs(message));
    if (ui::ContentDialog::Current() != progress) progress->ShowAsync();
}

std::string cloud_failure_text(const Json& failure) {
    const std::string& code = failure["serverErrorCode"].string_value();
    if (code == "AUTHENTICATION_REQUIRED")
        return own_text("Nincs bejelentkezve a felhőbe.", "You are not signed in to the cloud.");
    if (!code.empty()) {
        const std::string& reason = failure["reason"].string_value();
        return own_text("A felhő elutasította a változtatást: ", "The cloud refused the change: ") + code +
               (reason.empty() ? "" : " (" + reason + ")") + ".";
    }
    if (failure.object_items().empty())
        return own_text("A felhő nem érhető el. Próbálja újra, amikor van internetkapcsolat.",
                        "The cloud cannot be reached. Try again when the computer is online.");
    return own_text("A felhő váratlan választ adott.", "The cloud gave an unexpected answer.");
}

namespace {

// Names in the program's language; an unknown code gives no name, and the row keeps its "code - " form.
std::string region_name(const std::string& code) {
    return g_core ? country_name(code, g_core->language) : std::string();
}

std::string language_display_name(const std::string& code) {
    return g_core ? language_name(code, g_core->language) : std::string();
}

}  // namespace

std::string country_row(const std::string& code) {
    return code + " - " + region_name(code);
}

std::string language_row(const std::string& code) {
    return code + " - " + language_display_name(code);
}

std::string currency_row(const std::string& code) {
    if (!g_core) return code;
    const double sample = -12345.6789;
    return code + "\t" + g_core->formatted_curr(sample, code, false, {}) + "    \t" +
           g_core->formatted_curr(sample, code, true, {});
}

std::string first_word(const std::string& text) {
    return text.substr(0, text.find(' '));
}

}  // namespace Tavrin::settings
