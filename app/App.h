// Program start-up: the application object, the global main window and the update check.
#pragma once

#include "ui/Threading.h"
#include "ui/Controls.h"

#include <QPointer>

#include <functional>
#include <map>
#include <string>
#include <vector>

// The main window; set once by the start-up, read wherever a dialog needs the main window.
extern QPointer<ui::Window> g_main_window;

namespace Tavrin {

// The folder of the program's own files (sample account, schemas, pictures), with a trailing '/':
// the executable's folder in a build tree, else <prefix>/share/tavrin/ beside the executable's bin/.
std::string get_app_folder();
// The user's data folder, with a trailing '/': TAVRIN_DATA_DIR, else $XDG_DATA_HOME/tavrin/, else
// ~/.local/share/tavrin/. Its missing levels are made, readable by the user alone.
std::string get_data_folder();
// The program's version, four numbers joined by ".".
std::string get_app_version();

// The weekday names in the order of the user's week: Sunday (0) to Saturday (6) when the week
// begins on Sunday (first_day_of_week 6), otherwise Monday (1) to Saturday (6) and then Sunday (0).
std::vector<std::map<int, std::string>> weekday_list(int first_day_of_week, const std::function<std::string(int)>& name);

// The update check (a work item started once at start-up) and its steps back on the UI thread.
void update_check_work_item(ui::DispatcherQueue queue);
void show_update_dialog(std::string notes);
void install_update();

// The text of a translation key in the current language; empty while there is no Core.
QString tr_key(const char* key);
// A text of the program's own that the translation tables do not hold, in the program's language.
std::string own_text(const char* hu, const char* en);

// Installs Qt's own translations (file dialogs, standard buttons) for the program's language; another
// language takes them away again.
void install_qt_translations(const std::string& language);

class App {
public:
    App();
    // Builds the locale data, creates the Core object and the main window, and queues the update check.
    void OnLaunched();
};

}  // namespace Tavrin
