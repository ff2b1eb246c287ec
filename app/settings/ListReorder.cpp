// A drag in one of the page's lists stores the list's new order in the settings row it shows.
#include "app/settings/SettingsPage.h"

#include "app/App.h"
#include "app/settings/SettingsSupport.h"
#include "core/Core.h"

#include <memory>
#include <vector>

using json11::Json;

namespace Tavrin {

namespace {

// The stored entries in the order of the rows' tags. Each tag takes the first entry not taken yet whose
// key matches it (without regard to case); a row that matches none adds nothing, and entries no row
// took keep their place after the others, so that no entry is lost or doubled whatever the rows hold.
// `whole` is false when rows and entries did not pair off.
Json::array reordered(const Json::array& stored, const std::string& match, const std::vector<std::string>& tags,
                      bool& whole) {
    std::vector<bool> taken(stored.size(), false);
    Json::array result;
    whole = tags.size() == stored.size();
    for (const std::string& tag : tags) {
        const std::string wanted = to_lower(tag);
        bool found = false;
        for (std::size_t i = 0; i < stored.size(); ++i) {
            if (taken[i] || to_lower(stored[i][match].string_value()) != wanted) continue;
            taken[i] = true;
            result.push_back(stored[i]);
            found = true;
            break;
        }
        if (!found) whole = false;
    }
    for (std::size_t i = 0; i < stored.size(); ++i)
        if (!taken[i]) result.push_back(stored[i]);
    return result;
}

// Stores the accounts list in the local row, keeping its other members. The local row holds this
// installation's sync state: it is never uploaded itself.
bool write_accounts(const Json::array& accounts) {
    Json::object local = g_core->setting("local").object_items();
    local["accounts"] = accounts;
    return g_core->save_record({{"recordName", "local"}, {"value", Json(local).dump()}, {"synced", -1}}, "settings");
}

}  // namespace

void SettingsPage::AfterAccountsReorder(const Json& failure, const Json::array& previous, const Json::array& order) {
    if (!g_core) return;
    const Json::array stored = g_core->setting("local")["accounts"].array_items();
    if (failure.is_null()) {
        // The cloud's answer may have brought another list: the page shows the one stored.
        if (stored != order) {
            FillList(accountsList);
            RefillAccountsMenu();
        }
        return;
    }
    // The cloud keeps the old order, and the next start would bring it back: so does this installation,
    // unless the list changed meanwhile.
    if (stored == order) write_accounts(previous);
    FillList(accountsList);
    RefillAccountsMenu();
    ShowMessage(ui::qs(own_text("A fiókok új sorrendje nem menthető, a tárolt sorrend látható. ",
                                "The new order of the accounts could not be saved; the stored order is shown. ") +
                       settings::cloud_failure_text(failure)));
}

void SettingsPage::OnListDragItemsCompleted(ui::ListView* sender) {
    if (!g_core || !sender) return;
    std::string key;
    std::string match = "id";
    if (sender == countriesList || sender == languagesList || sender == currenciesList) {
        key = sender == countriesList ? "countries" : sender == languagesList ? "languages" : "currencies";
        match = "code";
    } else {
        const std::string name = split('_', ui::Name(sender))[0];
        key = name == "headerNotes" ? "header_notes"
              : name == "lineNotes" ? "line_notes"
              : name == "footerNotes" ? "footer_notes"
                                      : name;
    }
    if (key.empty()) return;

    std::vector<std::string> tags;
    for (int i = 0; i < sender->Size(); ++i) tags.push_back(ui::TagText(sender->TagAt(i)));
    bool whole = true;

    if (key == "accounts") {
        const Json::array previous = g_core->setting("local")["accounts"].array_items();
        const Json::array order = reordered(previous, match, tags, whole);
        if (!write_accounts(order)) return;
        if (!whole) FillList(sender);
        RefillAccountsMenu();
        // The cloud's copy of the list follows in the background, so the window never waits for it; the
        // UI step after it shows what is stored then.
        ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
        QPointer<SettingsPage> page(this);
        ui::ThreadPool::RunAsync([queue, page, previous, order] {
            auto failure = std::make_shared<Json>();
            ui::PostOnce step(queue, [page, failure, previous, order] {
                if (page) page->AfterAccountsReorder(*failure, previous, order);
            });
            if (Core* core = g_core) core->setup_account_zone(Json(), -100, [failure](Json result) { *failure = result; });
        });
        return;
    }

    const Json::array order = reordered(g_core->setting(key).array_items(), match, tags, whole);
    if (!settings::write_setting(key, order)) return;
    // Rows that did not stand for the stored entries (the array changed under the list): show the store.
    if (!whole) FillList(sender);
    if (key == "countries") SupplierSummary();
}

}  // namespace Tavrin
