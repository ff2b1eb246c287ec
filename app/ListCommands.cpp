// The commands of the list's tool bar.
#include "app/MainWindow.h"

#include "core/Core.h"

#include <charconv>

using json11::Json;

namespace Tavrin {

namespace {

// A step of the paging buttons: a whole decimal number, nothing else.
int parse_step(const std::string& text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        throw std::invalid_argument("paging step is not a number: " + text);
    return value;
}

}  // namespace

ui::Action MainWindow::OnCommandClick(QObject* sender) {
    if (!g_core) co_return;
    const std::string name = ui::Name(sender);
    if (name == "newDocument") {
        OpenDocumentWindow(QString(), QString(), false, std::string());
        co_return;
    }
    if (name == "newClient") {
        ShowClientDialog(std::string());
        co_return;
    }
    if (name == "newItem") {
        ShowItemDialog(std::string());
        co_return;
    }
    if (name == "listPageBackButton" || name == "listPageForwardButton") {
        auto* pager = qobject_cast<ui::Button*>(sender);
        ui::NavigationViewItem* selected = navigationView->SelectedItem();
        if (!pager || !selected) co_return;
        const int step = parse_step(ui::TagText(pager->Tag()));
        const std::string section = ui::Name(selected);
        if (section == "TASK") {
            // The task calendar moves by months, whether or not it is shown.
            calendar_month = calendar_month.addMonths(step);
            RefreshList(std::string());
        } else {
            RefreshList(g_core->list_html(step, section, list_filter, ui::utf8(searchBox->Text()), std::string()));
        }
    }
}
}  // namespace Tavrin
