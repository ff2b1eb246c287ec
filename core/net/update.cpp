// Update check: the version file on the maker's server, then the installer package.
#include "core/Core.h"

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using json11::Json;

void Core::check_update(std::string running_version, std::function<void(std::string)> done) {
    const std::string info = data_folder + "update";
    // A download that fails must not leave the previous description to be read as the new one.
    unlink(info.c_str());
    download_file(endpoint_config().maker_url + "/downloads/update_hu.txt", info,
                  [this, &running_version, &done](Json) { on_update_info(running_version, done); });
}

void Core::on_update_info(const std::string& running_version, const std::function<void(std::string)>& done) {
    std::vector<std::string> lines;
    {
        std::ifstream in(data_folder + "update", std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
    }
    if (lines.empty() || split('.', lines[0]).size() != 4 || lines[0] == running_version) {
        if (done) done("");
        return;
    }
    const std::string package = data_folder + "update.msi";
    // Only a package downloaded now, and completely, may be offered.
    unlink(package.c_str());
    download_file(endpoint_config().maker_url + "/downloads/update.msi", package,
                  [this, &lines, &done](Json) { on_update_downloaded(lines, done); });
}

void Core::on_update_downloaded(const std::vector<std::string>& lines, const std::function<void(std::string)>& done) {
    struct stat st;
    if (stat((data_folder + "update.msi").c_str(), &st) != 0 || st.st_size <= 0) {
        if (done) done("");
        return;
    }
    std::string notes;
    for (std::size_t i = 1; i < lines.size(); ++i) notes += lines[i] + "\n";
    if (done) done(notes);
}
