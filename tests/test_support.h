// Shared helpers of the test programs: a private data folder per test and a ready Core.
#pragma once

#include "core/Core.h"

#include <ctime>
#include <memory>
#include <string>

// A fresh folder under the system's temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The folder's path with a trailing '/'.
    const std::string& path() const { return path_; }
    // Writes a file below the folder and returns its full path.
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

// Month and weekday names as the start-up passes them for a week beginning on Monday.
std::vector<std::string> test_month_names();
std::vector<std::map<int, std::string>> test_weekday_names();

// A Core over `data_folder` (created when missing) whose application folder is `app_folder`
// (the data folder's parent when empty).
std::unique_ptr<Core> make_core(const std::string& data_folder, const std::string& language = "hu",
                                const std::string& app_folder = "");

std::string read_file(const std::string& path);

// Seconds of a local wall-clock time (the tests run in Europe/Budapest), daylight saving as it falls.
std::time_t local_seconds(int year, int month, int day, int hour = 12, int minute = 0, int second = 0);
