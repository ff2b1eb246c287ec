#include "tests/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrin-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern + "/";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
    std::string full = path_ + name;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream out(full, std::ios::binary);
    out << content;
    return full;
}

std::vector<std::string> test_month_names() {
    return {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}

std::vector<std::map<int, std::string>> test_weekday_names() {
    return {{{1, "Mon"}}, {{2, "Tue"}}, {{3, "Wed"}}, {{4, "Thu"}}, {{5, "Fri"}}, {{6, "Sat"}}, {{0, "Sun"}}};
}

std::unique_ptr<Core> make_core(const std::string& data_folder, const std::string& language,
                                const std::string& app_folder) {
    std::string app = app_folder;
    if (app.empty()) app = std::filesystem::path(data_folder.substr(0, data_folder.size() - 1)).parent_path().string() + "/";
    std::map<std::string, std::string> info = {
        {"platform", "linux"}, {"ver", "1.0.0.0"}, {"country_code", "HU"}, {"currency_code", "HUF"}};
    return std::make_unique<Core>(data_folder, app, info, test_month_names(), test_weekday_names(), language,
                                  "0,120,215");
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::time_t local_seconds(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return mktime(&tm);
}
