#include "app/App.h"
#include "app/MainWindow.h"

#include "core/Core.h"
#include "ui/Application.h"
#include "ui/ContentDialog.h"
#include "ui/Launcher.h"
#include "ui/Locale.h"
#include "ui/Pickers.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#ifndef TAVRIN_VERSION
#define TAVRIN_VERSION ""
#endif

QPointer<ui::Window> g_main_window;

namespace Tavrin {

std::string get_app_folder() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "./";
    const std::filesystem::path folder = exe.parent_path();
    // A build tree keeps the program's files beside it; an installed program keeps them in
    // <prefix>/share/tavrin beside <prefix>/bin.
    if (std::filesystem::exists(folder / "DEMO_hu.tvr", ec)) return folder.string() + "/";
    return (folder.parent_path() / "share" / "tavrin").string() + "/";
}

std::string get_data_folder() {
    std::string folder = endpoint_config().data_dir;
    if (folder.empty()) {
        const char* data_home = std::getenv("XDG_DATA_HOME");
        const char* home = std::getenv("HOME");
        if (data_home && *data_home == '/')
            folder = std::string(data_home) + "/tavrin/";
        else if (home && *home)
            folder = std::string(home) + "/.local/share/tavrin/";
        else if (const passwd* user = getpwuid(getuid()); user && user->pw_dir)
            folder = std::string(user->pw_dir) + "/.local/share/tavrin/";
        else
            folder = "./tavrin/";
    }
    // Each missing level is made for the user alone, as the data folder itself.
    std::string path;
    for (std::size_t from = 0; from < folder.size();) {
        std::size_t end = folder.find('/', from);
        if (end == std::string::npos) end = folder.size();
        path = folder.substr(0, end);
        if (!path.empty()) {
            struct stat st;
            if (stat(path.c_str(), &st) != 0) mkdir(path.c_str(), 0700);
        }
        from = end + 1;
    }
    return folder;
}

std::string get_app_version() {
    return TAVRIN_VERSION;
}

std::vector<std::map<int, std::string>> weekday_list(int first_day_of_week, const std::function<std::string(int)>& name) {
    std::vector<std::map<int, std::string>> days;
    if (first_day_of_week == 6) {
        for (int day = 0; day <= 6; ++day) days.push_back({{day, name(day)}});
    } else {
        for (int day = 1; day <= 6; ++day) days.push_back({{day, name(day)}});
        days.push_back({{0, name(0)}});
    }
    return days;
}

void update_check_work_item(ui::DispatcherQueue queue) {
    Core* core = g_core;
    if (!core) return;
    core->check_update(get_app_version(), [queue](std::string notes) {
        queue.TryEnqueue(ui::DispatcherQueuePriority::Normal,
                         [notes = std::move(notes)] { show_update_dialog(notes); });
    });
}

void show_update_dialog(std::string notes) {
    if (notes.empty() || !g_core || !g_main_window) return;
    auto* dialog = new ui::ContentDialog(g_main_window.data());
    dialog->XamlRoot(g_main_window.data());
    const QString title = ui::qs(g_core->translated("update", ""));
    dialog->Title(title);
    dialog->Content(ui::qs(notes));
    dialog->PrimaryButtonText(title);
    dialog->DefaultButton(ui::ContentDialogButton::Primary);
    dialog->ShowAsync();
    // Closing the dialog in any way installs: it offers no way to decline.
    dialog->Closed.Add([](ui::ContentDialog*, ui::ContentDialogClosedEventArgs) { install_update(); });
}

// The installer is started first; only when it started does the program close, the ordinary way
// (running work waited for, the database closed), and end.
void install_update() {
    if (!g_core) return;
    const std::string installer = g_core->data_folder + "update.msi";
    if (!ui::Launcher::LaunchFile(ui::qs(installer))) {
        std::fprintf(stderr, "Tavrin: the update installer %s could not be started\n", installer.c_str());
        return;
    }
    if (g_main_window && !g_main_window->Close()) return;
    ui::ExitProcess(0);
}

QString tr_key(const char* key) {
    return g_core ? ui::qs(g_core->translated(key, "")) : QString();
}

std::string own_text(const char* hu, const char* en) {
    return g_core && g_core->language == "en" ? en : hu;
}

App::App() = default;

namespace {

// Words of the file and print dialogs that Qt's Hungarian file does not carry in this Qt version.
class MissingQtTexts : public QTranslator {
public:
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* source, const char*, int) const override {
        static const std::map<std::pair<std::string, std::string>, const char*> words = {
            {{"QAbstractFileIconProvider", "Folder"}, "Mappa"},
            {{"QAbstractFileIconProvider", "Drive"}, "Meghajtó"},
            {{"QAbstractFileIconProvider", "Shortcut"}, "Parancsikon"},
            {{"QAbstractFileIconProvider", "Unknown"}, "Ismeretlen"},
            {{"QPrintSettingsOutput", "Pages"}, "Oldalak"},
            {{"QPrintSettingsOutput", "Double Sided Printing"}, "Kétoldalas nyomtatás"},
            {{"QPrintSettingsOutput", "Off"}, "Ki"},
            {{"QPrintSettingsOutput", "Long side binding"}, "Kötés a hosszú oldalon"},
            {{"QPrintSettingsOutput", "Short side binding"}, "Kötés a rövid oldalon"},
            {{"QPrintPropertiesDialog", "Advanced"}, "Speciális"},
            {{"QPrintPropertiesWidget", "Advanced"}, "Speciális"}};
        const auto found = words.find({context, source});
        return found == words.end() ? QString() : QString::fromUtf8(found->second);
    }
};

}  // namespace

void install_qt_translations(const std::string& language) {
    // Qt's own texts (the file and print dialogs, the standard buttons and menus) in the program's language;
    // the file dialogs' sizes and times too, in the system's own formats where it speaks that language.
    const QLocale::Language wanted = language == "hu" ? QLocale::Hungarian : QLocale::English;
    ui::FilePicker::TextLocale(QLocale::system().language() == wanted ? QLocale::system() : QLocale(wanted));
    static QTranslator* installed = nullptr;
    static MissingQtTexts missing_texts;
    QCoreApplication::removeTranslator(&missing_texts);
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
        installed = nullptr;
    }
    if (language != "hu") return;
    auto* translator = new QTranslator;
    if (!translator->load("qtbase_hu", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return;
    }
    QCoreApplication::installTranslator(translator);
    QCoreApplication::installTranslator(&missing_texts);
    installed = translator;
}

namespace {

QLocale start_locale() {
    // A locale that names no country (C.UTF-8 on servers and minimal desktops) gives no country, no
    // currency and English month names: the program is made for Hungary, so Hungary's are taken.
    const QLocale system = QLocale::system();
    if (ui::LocaleData(system).CountryCode().empty())
        return QLocale(QLocale::Hungarian, QLocale::Hungary);
    return system;
}

}  // namespace

void App::OnLaunched() {
    const QLocale start = start_locale();
    // Qt's own widgets (the file dialogs, the date pickers) follow the same locale.
    if (start != QLocale::system()) QLocale::setDefault(start);
    const ui::LocaleData locale(start);
    std::vector<std::string> months;
    for (int month = 1; month <= 12; ++month) months.push_back(locale.MonthName(month));
    const std::vector<std::map<int, std::string>> weekdays =
        weekday_list(locale.FirstDayOfWeek(), [&locale](int day) { return locale.WeekdayName(day); });

    // "platform" names the kind of installation in records that other installations read.
    std::map<std::string, std::string> info = {{"platform", "win"},
                                               {"ver", get_app_version()},
                                               {"country_code", locale.CountryCode()},
                                               {"currency_code", locale.CurrencyCode()}};
    const std::string accent = ui::LocaleData::AccentColor(QApplication::palette());

    g_core = new Core(get_data_folder(), get_app_folder(), info, months, weekdays, "hu", accent);
    install_qt_translations(g_core->language);

    auto* window = new MainWindow();
    g_main_window = window;
    window->Activate();
    // A desktop logout or Ctrl+C closes the main window the ordinary way; nobody is there to answer
    // a question about an unsaved document, so the process does not wait for one.
    ui::Application::OnTerminationRequested([] {
        if (auto* main = qobject_cast<MainWindow*>(g_main_window.data()))
            main->CloseDroppingDocument();
        else if (g_main_window)
            g_main_window->Close();
        else
            QCoreApplication::quit();
    });

    ui::DispatcherQueue queue = ui::DispatcherQueue::GetForCurrentThread();
    ui::ThreadPool::RunAsync([queue] { update_check_work_item(queue); });
}

}  // namespace Tavrin
