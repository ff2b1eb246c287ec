// A drag in one of the page's lists stores the list's new order in the settings row it shows.
#include "app/settings/SettingsPage.h"

#include "app/settings/SettingsSupport.h"
#include "core/Core.h"

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

}  // namespace

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
        Json::object local = g_core->setting("local").object_items();
        local["accounts"] = reordered(local["accounts"].array_items(), match, tags, whole);
        // The local row holds this installation's sync state: it is never uploaded itself.
        g_core->save_record({{"recordName", "local"}, {"value", Json(local).dump()}, {"synced", -1}}, "settings");
        if (!whole) FillList(sender);
        RefillAccountsMenu();
        // The cloud's copy of the list follows in the background, so the window never waits for it.
        ui::ThreadPool::RunAsync([] {
            if (Core* core = g_core) core->setup_account_zone(Json(), -100, [](Json) {});
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
