// Company accounts: add, rename and delete, each with its cloud zone. The zone service runs on a work
// item behind a progress dialog; the UI step that ends it shows the stored list again.
#include "app/settings/SettingsPage.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "app/settings/SettingsSupport.h"
#include "core/Core.h"
#include "ui/Launcher.h"

#include <memory>

using json11::Json;

namespace Tavrin {

using settings::caption;

namespace {

// A rename passes the position as the zone mode, a 16-bit number whose negative values mean add and
// delete: a position beyond its range must never reach it.
constexpr int kLastRenamePosition = 32767;

bool same_id(const std::string& a, const std::string& b) {
    return to_lower(a) == to_lower(b);
}

}  // namespace

void SettingsPage::RefillAccountsMenu() {
    if (auto* window = qobject_cast<MainWindow*>(g_main_window.data())) window->FillAccountsMenu();
}

void SettingsPage::BuildAccountsEditor(ui::ContentDialog* dialog, Json::object account) {
    ui::Panel* stack = settings::new_stack();
    stack->Append(settings::text_box(caption("name"), Json(account)["name"].string_value()));
    dialog->Title(caption("accounts"));
    dialog->Content(stack);
}

void SettingsPage::SaveAccount(bool edit, const std::string& tag, ui::ContentDialog* dialog) {
    const std::string name = normalize_whitespace(settings::text_of(settings::child_as<ui::TextBox>(dialog->ContentWidget(), 0)));
    if (name.empty()) return;
    int position = -1;
    std::string id;
    if (edit) {
        position = CheckedIndex(accountsList, tag);
        if (position < 0 || position > kLastRenamePosition) return;
        id = tag;
    } else {
        id = new_record_name();
        if (id.empty()) return;
    }

    ui::ContentDialog* progress = ShowProgress(ui::qs(name));
    ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    QPointer<SettingsPage> page(this);
    QPointer<ui::ContentDialog> dialog_ref(progress);
    ui::ThreadPool::RunAsync([edit, position, id, name, queue, page, dialog_ref] {
        AddAccount(edit, position, id, name, queue, page, dialog_ref);
    });
    // The list's last row comes into view (the new one follows it when the step has run).
    if (!edit && accountsList->Size() > 5) accountsList->scrollToItem(accountsList->item(accountsList->Size() - 1));
}

void SettingsPage::AddAccount(bool edit, int position, std::string id, std::string name, ui::DispatcherQueue queue,
                              QPointer<SettingsPage> page, QPointer<ui::ContentDialog> progress) {
    auto failure = std::make_shared<Json>();
    ui::PostOnce step(std::move(queue), [edit, position, page, progress, failure] {
        if (!page) return settings::finish_progress(progress);
        if (edit)
            page->RenameAccount(position, progress, *failure);
        else
            page->ApplyAccountChange(progress, *failure);
    });
    Core* core = g_core;
    if (!core) return;
    Json entry;
    std::int16_t mode = -1;
    if (edit) {
        // Read again: the entry keeps every member but its name, and it must still be the one renamed.
        entry = core->setting("accounts")[static_cast<std::size_t>(position)];
        if (!entry.is_object() || !same_id(entry["id"].string_value(), id)) return;
        Json::object renamed = entry.object_items();
        renamed["name"] = name;
        entry = Json(renamed);
        mode = static_cast<std::int16_t>(position);
    } else {
        entry = Json::object{{"id", id}, {"name", name}};
    }
    core->setup_account_zone(entry, mode, [&step, failure](Json result) {
        *failure = std::move(result);
        step.post();
    });
}

void SettingsPage::ApplyAccountChange(QPointer<ui::ContentDialog> progress, const Json& failure) {
    // The rows follow the stored list, which the cloud's answer may have replaced.
    FillList(accountsList);
    RefillAccountsMenu();
    if (failure.is_null()) return settings::finish_progress(progress);
    settings::progress_result(progress, own_text("Az új fiók nem jött létre, a fiókok a régiek maradtak. ",
                                                 "The account was not added; the accounts are as they were. ") +
                                            settings::cloud_failure_text(failure));
}

void SettingsPage::RenameAccount(int position, QPointer<ui::ContentDialog> progress, const Json& failure) {
    FillList(accountsList);
    if (position < accountsList->Size()) accountsList->SelectedIndex(position);
    RefillAccountsMenu();
    if (failure.is_null()) return settings::finish_progress(progress);
    settings::progress_result(progress, own_text("A fiók nem lett átnevezve, a fiókok a régiek maradtak. ",
                                                 "The account was not renamed; the accounts are as they were. ") +
                                            settings::cloud_failure_text(failure));
}

void SettingsPage::StartAccountDelete(const std::string& tag) {
    const int position = CheckedIndex(accountsList, tag);
    if (position < 0 || !g_core) return;
    // The open account is never deleted.
    if (same_id(tag, g_core->current_account)) return;
    const int mode = accountsList->Size() == 1 ? -3 : -2;
    const std::string name = g_core->setting("accounts")[static_cast<std::size_t>(position)]["name"].string_value();

    ui::ContentDialog* progress = ShowProgress(ui::qs(name));
    ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    QPointer<SettingsPage> page(this);
    QPointer<ui::ContentDialog> dialog_ref(progress);
    const std::string id = tag;
    ui::ThreadPool::RunAsync([position, id, mode, queue, page, dialog_ref] {
        DeleteAccount(position, id, mode, queue, page, dialog_ref);
    });
}

void SettingsPage::DeleteAccount(int position, std::string id, int mode, ui::DispatcherQueue queue,
                                 QPointer<SettingsPage> page, QPointer<ui::ContentDialog> progress) {
    auto deleted = std::make_shared<bool>(false);
    auto failure = std::make_shared<Json>();
    ui::PostOnce step(std::move(queue), [mode, id, page, progress, deleted, failure] {
        if (!page) return settings::finish_progress(progress);
        page->AfterAccountChange(*deleted ? mode : 0, id, progress, *failure);
    });
    Core* core = g_core;
    if (!core) return;
    // Checked again here: the list may have changed since the click, and the open account stays.
    const Json entry = core->setting("accounts")[static_cast<std::size_t>(position)];
    if (!same_id(entry["id"].string_value(), id) || same_id(id, core->current_account)) return;
    *deleted = true;
    core->setup_account_zone(entry, static_cast<std::int16_t>(mode), [&step, failure](Json result) {
        *failure = std::move(result);
        step.post();
    });
}

void SettingsPage::AfterAccountChange(int mode, std::string id, QPointer<ui::ContentDialog> progress,
                                      const Json& failure) {
    if (!g_core) return settings::finish_progress(progress);
    if (!failure.is_null()) {
        // The cloud still lists the account: it stays here too, and the user learns why.
        RefillAccountsMenu();
        FillList(accountsList);
        settings::progress_result(progress, own_text("A fiók nem lett törölve, a fiókok a régiek maradtak. ",
                                                     "The account was not deleted; the accounts are as they were. ") +
                                                settings::cloud_failure_text(failure));
        return;
    }
    if (mode == -3) {
        // The zone service leaves the list as it was when it removes the last account; the entry goes
        // here, so that neither the page nor the menu offers an account whose zone is gone.
        Json::object local = g_core->setting("local").object_items();
        Json::array accounts;
        for (const Json& entry : local["accounts"].array_items())
            if (!same_id(entry["id"].string_value(), id)) accounts.push_back(entry);
        local["accounts"] = accounts;
        g_core->save_record({{"recordName", "local"}, {"value", Json(local).dump()}, {"synced", -1}}, "settings");
    }
    RefillAccountsMenu();
    FillList(accountsList);
    settings::finish_progress(progress);
    if (mode == 0 || !g_core->setting("accounts").array_items().empty()) return;
    // No account is left: the program ends the ordinary way, by closing its window (running work waited
    // for, the database closed).
    if (g_main_window && !g_main_window->Close()) return;
    ui::ExitProcess(0);
}

}  // namespace Tavrin
