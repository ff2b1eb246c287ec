// The repetition rule of a task: a day choice and a month choice, described in words beneath.
#include "app/editor/DocumentPage.h"

#include "app/App.h"
#include "core/Core.h"
#include "ui/ContentDialog.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>

using json11::Json;

namespace Tavrin {

namespace {


// The rule of a task: its three members, or nothing when the text is no such rule.
Json::object read_rule(const Json::object& document) {
    const auto found = document.find("task_repeat");
    if (found == document.end()) return {};
    Json::object rule = Json::parse(found->second.string_value()).object_items();
    if (rule.size() != 3) return {};
    return rule;
}

// The weekday number of entry `position` of the week table.
int weekday_number(int position) {
    if (!g_core || position < 0 || position >= static_cast<int>(g_core->weekday_names.size()) ||
        g_core->weekday_names[static_cast<std::size_t>(position)].empty())
        return 0;
    return g_core->weekday_names[static_cast<std::size_t>(position)].begin()->first;
}

std::string rule_text(Json::array months, const std::string& day_type, int day) {
    return Json(Json::object{{"months", std::move(months)}, {"day_type", day_type}, {"day", day}}).dump();
}

}  // namespace

ui::Action DocumentPage::EditTaskRepeat() {
    if (!g_core) co_return;
    QPointer<DocumentPage> self(this);
    const Json rule(read_rule(document));

    QPointer<ui::ContentDialog> dialog = new ui::ContentDialog(window());
    dialog->XamlRoot(window());
    dialog->PrimaryButtonText(tr_key("ok"));
    dialog->DefaultButton(ui::ContentDialogButton::Primary);
    dialog->Title(tr_key("repeat"));

    auto* content = new QWidget;
    auto* stack = new QVBoxLayout(content);
    stack->setContentsMargins(0, 0, 0, 0);
    auto* choices = new QHBoxLayout;
    stack->addLayout(choices);
    auto* days = new ui::ComboBox;
    days->setObjectName("repeatDaysCombBox");
    days->Header(tr_key("days"));
    auto* months = new ui::ComboBox;
    months->setObjectName("repeatMonthsCombBox");
    months->Header(tr_key("months"));
    choices->addWidget(days);
    choices->addSpacing(24);
    choices->addWidget(months);
    auto* description = new ui::TextBlock;
    description->setObjectName("repeatDescriptionText");
    description->setWordWrap(true);
    description->setContentsMargins(0, 24, 0, 0);
    description->Text(ui::qs(g_core->repeat_description(Json(document)["task_repeat"].string_value())));
    stack->addWidget(description);
    dialog->Content(content);

    months->Append(tr_key("every_month"));
    for (int month = 0; month < 12; ++month)
        months->Append(month < static_cast<int>(g_core->month_names.size())
                           ? ui::qs(g_core->month_names[static_cast<std::size_t>(month)])
                           : QString::number(month + 1));
    for (const Json& option : g_core->repeat_options()) days->Append(ui::qs(option.string_value()));

    const bool whole = rule.object_items().size() == 3;
    months->SelectedIndex(whole && !rule["months"].array_items().empty() ? rule["months"][0].int_value() + 1 : 0);
    int day_index = 0;
    if (whole) {
        const std::string day_type = rule["day_type"].string_value();
        if (day_type == "day") {
            day_index = rule["day"].int_value();
        } else if (day_type == "every" || day_type == "first" || day_type == "last") {
            int position = 0;
            for (int p = 0; p < 7; ++p)
                if (weekday_number(p) == rule["day"].int_value()) position = p;
            day_index = (day_type == "every" ? 29 : day_type == "first" ? 36 : 43) + position;
        }
        if (rule["months"].is_null()) day_index = 0;
    }
    days->SelectedIndex(day_index);

    days->DropDownClosed.Add(this, [this, days, months, description](ui::ComboBox*) {
        OnRepeatDayTypeChanged(days, months, description);
    });
    months->DropDownClosed.Add(this, [this, months, description](ui::ComboBox*) { OnRepeatMonthsChanged(months, description); });

    const ui::ContentDialogResult result = co_await dialog->ShowAsyncOrNone();
    if (!self || !dialog || !g_core) co_return;
    if (result == ui::ContentDialogResult::Primary) {
        const std::string text = Json(document)["task_repeat"].string_value();
        const std::time_t when = text.empty() ? clock_now() : static_cast<std::time_t>(g_core->next_repeat_date(text));
        dueDatePicker->Date(QDateTime::fromSecsSinceEpoch(when).date());
        dueDatePicker->IsEnabled(text.empty());
    }
    dialog->deleteLater();
}

void DocumentPage::OnRepeatDayTypeChanged(ui::ComboBox* days, ui::ComboBox* months, ui::TextBlock* description) {
    if (!g_core) return;
    const Json rule(read_rule(document));
    const int i = days->SelectedIndex();
    if (i <= 0) months->SelectedIndex(0);
    const std::string day_type = i >= 43 ? "last" : i >= 36 ? "first" : i >= 29 ? "every" : "day";
    const int day = i > 28 ? weekday_number((i - 29) % 7) : i;
    const std::string text =
        i <= 0 ? std::string() : rule_text(rule.object_items().size() == 3 ? rule["months"].array_items() : Json::array(), day_type, day);
    document["task_repeat"] = text;
    description->Text(ui::qs(g_core->repeat_description(text)));
}

void DocumentPage::OnRepeatMonthsChanged(ui::ComboBox* months, ui::TextBlock* description) {
    if (!g_core) return;
    const Json rule(read_rule(document));
    // No day chosen yet: there is nothing to repeat in those months.
    if (rule.object_items().size() != 3 || (rule["day_type"].string_value() == "day" && rule["day"].int_value() == 0)) {
        months->SelectedIndex(0);
        return;
    }
    Json::array chosen = rule["months"].array_items();
    const int j = months->SelectedIndex();
    if (j <= 0) {
        chosen.clear();
    } else {
        const Json month(j - 1);
        const auto found = std::find(chosen.begin(), chosen.end(), month);
        if (found != chosen.end())
            chosen.erase(found);
        else
            chosen.push_back(month);
    }
    std::sort(chosen.begin(), chosen.end(), [](const Json& a, const Json& b) { return a.number_value() < b.number_value(); });
    const std::string text = rule_text(std::move(chosen), rule["day_type"].string_value(), rule["day"].int_value());
    document["task_repeat"] = text;
    description->Text(ui::qs(g_core->repeat_description(text)));
}

}  // namespace Tavrin
