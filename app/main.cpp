// Program start-up. The window of the application is not part of this build yet: the program opens
// the current account's database (the bundled DEMO account on a first start) and reports it.
#include "core/Core.h"

#include <cstdio>
#include <filesystem>
#include <unistd.h>


static std::string executable_folder() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "./";
    return exe.parent_path().string() + "/";
}

int main() {
    std::string app_folder = executable_folder();
    std::string data_folder = endpoint_config().data_dir;
    if (data_folder.empty()) data_folder = app_folder + "tmp/";
    std::map<std::string, std::string> info = {
        {"platform", "linux"}, {"ver", "1.0.0.0"}, {"country_code", "HU"}, {"currency_code", "HUF"}};
    g_core = new Core(data_folder, app_folder, info,
                      {"jan.", "febr.", "márc.", "ápr.", "máj.", "jún.", "júl.", "aug.", "szept.", "okt.", "nov.", "dec."},
                      {{{1, "H"}}, {{2, "K"}}, {{3, "Sze"}}, {{4, "Cs"}}, {{5, "P"}}, {{6, "Szo"}}, {{0, "V"}}}, "hu",
                      "0,120,215");
    g_core->open_database();
    std::printf("Tavrin: account \"%s\" opened from %s\n", g_core->current_account.c_str(), data_folder.c_str());
    std::puts("The application window is not built yet.");
    delete g_core;
    return 0;
}
