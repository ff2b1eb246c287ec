// The program installed as a desktop program: `cmake --install` into a fresh prefix puts the executable
// in bin/ and its own files in share/tavrin/; the installed program, started with a fresh home folder,
// shows the DEMO account's invoice list and keeps the account in the user's data folder.
//
// The list is read from outside through the browser engine's own remote debugging (its DevTools
// protocol over a WebSocket on the loopback address), so the program needs no hook for the test.
#include "tests/fakes/fake_server.h"
#include "tests/test_support.h"

#include "json11/json11.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using json11::Json;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kRowCount = "document.querySelectorAll('#list tbody tr').length";

// Runs `argv` with `env`, its output into `output`; the process id, or -1.
pid_t start(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args, vars;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& v : env) vars.push_back(const_cast<char*>(v.c_str()));
    vars.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), vars.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit status of `pid` once it has ended within `limit`; -1 when it has not (it is then killed).
int wait_exit(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    int status = 0;
    while (Clock::now() < end) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

// One DevTools page connection: a WebSocket client of text frames, enough for Runtime.evaluate.
class DevToolsPage {
public:
    DevToolsPage(int port, const std::string& path) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        if (!send_all(request)) return;
        std::string head;
        char c;
        while (head.size() < 4096 && head.find("\r\n\r\n") == std::string::npos && read_exact(&c, 1)) head += c;
        open_ = head.rfind("HTTP/1.1 101", 0) == 0;
    }
    ~DevToolsPage() {
        if (fd_ >= 0) close(fd_);
    }

    // The value of `expression` in the page, or null.
    Json evaluate(const std::string& expression) {
        if (!open_) return Json();
        const int id = ++last_id_;
        const std::string message =
            Json(Json::object{{"id", id},
                              {"method", "Runtime.evaluate"},
                              {"params", Json::object{{"expression", expression}, {"returnByValue", true}}}})
                .dump();
        if (!send_frame(message)) return Json();
        std::string text;
        while (read_message(text)) {
            std::string error;
            const Json reply = Json::parse(text, error);
            if (reply["id"].int_value() == id) return reply["result"]["result"]["value"];
        }
        return Json();
    }

private:
    bool send_all(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool read_exact(char* out, std::size_t size) {
        std::size_t got = 0;
        while (got < size) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1) return false;
            const ssize_t n = ::recv(fd_, out + got, size - got, 0);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    // A client frame: final, text, masked.
    bool send_frame(const std::string& payload) {
        std::string frame(1, static_cast<char>(0x81));
        const std::size_t size = payload.size();
        if (size < 126) {
            frame += static_cast<char>(0x80 | size);
        } else {
            frame += static_cast<char>(0x80 | 126);
            frame += static_cast<char>((size >> 8) & 0xFF);
            frame += static_cast<char>(size & 0xFF);
        }
        const char mask[4] = {0x11, 0x22, 0x33, 0x44};
        frame.append(mask, 4);
        for (std::size_t i = 0; i < size; ++i) frame += static_cast<char>(payload[i] ^ mask[i % 4]);
        return send_all(frame);
    }

    // The next whole text message of the server (unmasked frames, maybe in several parts).
    bool read_message(std::string& text) {
        text.clear();
        for (;;) {
            unsigned char head[2];
            if (!read_exact(reinterpret_cast<char*>(head), 2)) return false;
            std::uint64_t size = head[1] & 0x7F;
            if (size >= 126) {
                unsigned char extended[8];
                const std::size_t bytes = size == 126 ? 2 : 8;
                if (!read_exact(reinterpret_cast<char*>(extended), bytes)) return false;
                size = 0;
                for (std::size_t i = 0; i < bytes; ++i) size = (size << 8) | extended[i];
            }
            if (size > (64u << 20)) return false;
            std::string payload(static_cast<std::size_t>(size), '\0');
            if (size > 0 && !read_exact(payload.data(), payload.size())) return false;
            const int opcode = head[0] & 0x0F;
            if (opcode == 8) return false;
            if (opcode == 0 || opcode == 1) text += payload;
            if ((head[0] & 0x80) && (opcode == 0 || opcode == 1)) return true;
        }
    }

    int fd_ = -1;
    bool open_ = false;
    int last_id_ = 0;
};

// The most rows any of the program's own pages (its list view among them) shows now.
int rows_shown(int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2);
    client.set_read_timeout(5);
    auto reply = client.Get("/json/list");
    if (!reply || reply->status != 200) return -1;
    std::string error;
    int most = -1;
    const Json targets = Json::parse(reply->body, error);
    for (const Json& target : targets.array_items()) {
        if (target["type"].string_value() != "page" || target["url"].string_value().rfind("tavrin://", 0) != 0) continue;
        const std::string socket_url = target["webSocketDebuggerUrl"].string_value();
        const std::size_t path = socket_url.find('/', std::strlen("ws://"));
        if (path == std::string::npos) continue;
        DevToolsPage page(port, socket_url.substr(path));
        const Json rows = page.evaluate(kRowCount);
        if (rows.is_number()) most = std::max(most, rows.int_value());
    }
    return most;
}

bool is_file(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

}  // namespace

TEST(Install, TheInstalledProgramShowsTheDemoListAndKeepsItsDataInTheUsersFolder) {
    TempDir dir;
    const std::string prefix = dir.path() + "prefix";
    const std::string home = dir.path() + "home";
    const std::string output = dir.path() + "output.txt";
    std::filesystem::create_directories(home);

    // The install: the executable alone in bin/, its files in share/tavrin/, the desktop entry and icons.
    const std::string install = std::string("'") + TAVRIN_CMAKE_COMMAND + "' --install '" + TAVRIN_BUILD_DIR +
                                "' --prefix '" + prefix + "' > '" + dir.path() + "install.txt' 2>&1";
    ASSERT_EQ(std::system(install.c_str()), 0) << read_file(dir.path() + "install.txt");
    std::vector<std::string> in_bin;
    for (const auto& entry : std::filesystem::directory_iterator(prefix + "/bin")) in_bin.push_back(entry.path().filename());
    EXPECT_EQ(in_bin, std::vector<std::string>{"tavrin"});
    for (const char* file : {"DEMO_hu.tvr", "DEMO_en.tvr", "DEMOlogo", "connecting_hu.png", "connecting_en.png", "tavrin.png",
                             "nav/invoiceBase.xsd"})
        EXPECT_TRUE(is_file(prefix + "/share/tavrin/" + file)) << file;
    EXPECT_TRUE(is_file(prefix + "/share/applications/tavrin.desktop"));
    EXPECT_TRUE(is_file(prefix + "/share/icons/hicolor/scalable/apps/tavrin.svg"));

    // The installed program, headless and offline, in a home folder of its own.
    std::string gone;
    {
        FakeServer stopped;
        gone = stopped.url();
    }
    const int port = free_port();
    ASSERT_GT(port, 0);
    const char* path = std::getenv("PATH");
    std::vector<std::string> env = {
        "PATH=" + std::string(path ? path : "/usr/bin:/bin"),
        "HOME=" + home,
        "LANG=C.UTF-8",
        "TZ=Europe/Budapest",
        "QT_QPA_PLATFORM=offscreen",
        "QTWEBENGINE_DISABLE_SANDBOX=1",
        "QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu",
        "QTWEBENGINE_REMOTE_DEBUGGING=127.0.0.1:" + std::to_string(port),
        "TAVRIN_CLOUD_URL=" + gone,
        "TAVRIN_MAKER_URL=" + gone,
    };
    // A program built with the sanitizers runs with the options the tests run with.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    const pid_t program = start({prefix + "/bin/tavrin"}, env, output);
    ASSERT_GT(program, 0);

    // The DEMO invoice list appears.
    int rows = -1;
    const auto end = Clock::now() + std::chrono::seconds(30);
    while (rows <= 0 && Clock::now() < end && waitpid(program, nullptr, WNOHANG) == 0) {
        rows = rows_shown(port);
        if (rows <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_GT(rows, 0) << read_file(output);

    // A termination request closes it the ordinary way.
    kill(program, SIGTERM);
    EXPECT_EQ(wait_exit(program, std::chrono::seconds(20)), 0) << read_file(output);

    // The account lies in the user's data folder, which only the user may enter; nothing was written
    // beside the installed files.
    const std::string data = home + "/.local/share/tavrin/";
    EXPECT_TRUE(is_file(data + "DEMO.tvr"));
    EXPECT_TRUE(is_file(data + "DEMOlogo"));
    struct stat st;
    ASSERT_EQ(stat(data.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(std::filesystem::exists(prefix + "/bin/tmp"));
    EXPECT_FALSE(std::filesystem::exists(prefix + "/share/tavrin/DEMO.tvr"));

    // The browser engine's start-up report stays off the terminal.
    const std::string printed = read_file(output);
    EXPECT_EQ(printed.find("Init Parameters"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("GL Type"), std::string::npos) << printed;
}
