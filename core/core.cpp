// The application object: construction, the choice of the current account, the clock and the
// configuration of remote addresses.
#include "core/Core.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

Core* g_core = nullptr;

namespace {

std::mutex clock_mutex;
std::function<std::time_t()> clock_override;

std::string env_or(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

std::string with_trailing_slash(std::string path) {
    if (!path.empty() && path.back() != '/') path += '/';
    return path;
}

}  // namespace

std::time_t clock_now() {
    {
        std::lock_guard<std::mutex> lock(clock_mutex);
        if (clock_override) return clock_override();
    }
    return std::time(nullptr);
}

void set_clock(std::function<std::time_t()> clock) {
    std::lock_guard<std::mutex> lock(clock_mutex);
    clock_override = std::move(clock);
}

EndpointConfig endpoint_config() {
    EndpointConfig c;
    c.cloud_url = env_or("TAVRIN_CLOUD_URL", "https://api.apple-cloudkit.com");
    c.cloud_container = "iCloud.com.dunmaro.TavrinInvoice";
    c.cloud_api_token = env_or("TAVRIN_CLOUD_API_TOKEN", "0000000000000000000000000000000000000000000000000000000000000000");
    c.maker_url = env_or("TAVRIN_MAKER_URL", "https://tavrin.hu");
    c.rates_url = env_or("TAVRIN_RATES_URL", "http://www.mnb.hu");
    c.cashbook_url = env_or("TAVRIN_CASHBOOK_URL", "https://api.cashbook.hu");
    c.nav_url = env_or("TAVRIN_NAV_URL", "https://api.onlineszamla.nav.gov.hu");
    c.schema_dir = with_trailing_slash(env_or("TAVRIN_SCHEMA_DIR", ""));
    c.ca_file = env_or("TAVRIN_CA_FILE", "");
    c.data_dir = with_trailing_slash(env_or("TAVRIN_DATA_DIR", ""));
    return c;
}

Core::Core(std::string data_folder_, std::string app_folder_, std::map<std::string, std::string> system_info_,
           std::vector<std::string> month_names_, std::vector<std::map<int, std::string>> weekday_names_,
           std::string language_, std::string accent_color_)
    : month_names(std::move(month_names_)),
      weekday_names(std::move(weekday_names_)),
      system_info(std::move(system_info_)),
      data_folder(std::move(data_folder_)),
      app_folder(std::move(app_folder_)),
      language(std::move(language_)),
      accent_color(std::move(accent_color_)) {
    is_hungarian = language == "hu";
    fill_translations_en();
    fill_translations_hu();
    build_constants();

    struct stat st;
    if (stat(data_folder.c_str(), &st) != 0) {
        if (mkdir(data_folder.c_str(), 0700) != 0) return;  // no folder: no account at all
    }
    current_account = "DEMO";
    choose_current_account();
}

Core::~Core() {
    std::lock_guard<std::recursive_mutex> lock(store_mutex);
    sqlite3_close(db);
    db = nullptr;
}

// The account whose database file changed last is the current one. Entries whose status cannot
// be read are skipped, so they are never chosen on another entry's time. Times are compared to the
// nanosecond: two files written within one second must not be told apart by the directory order.
void Core::choose_current_account() {
    DIR* dir = opendir(data_folder.c_str());
    if (!dir) return;
    timespec newest{0, 0};
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() < 8 || name.compare(name.size() - 4, 4, ".tvr") != 0) continue;
        struct stat st;
        if (stat((data_folder + name).c_str(), &st) != 0) continue;
        const timespec& modified = st.st_mtim;
        if (modified.tv_sec > newest.tv_sec || (modified.tv_sec == newest.tv_sec && modified.tv_nsec > newest.tv_nsec)) {
            newest = modified;
            current_account = name.substr(0, name.size() - 4);
        }
    }
    closedir(dir);
}
