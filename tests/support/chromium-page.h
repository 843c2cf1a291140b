// A page in Debian's chromium, headless on an X display so that WebGL runs
// through ANGLE on the display's OpenGL driver, driven over the DevTools
// protocol on chromium's pipe; and a folder served over HTTP for it to open.
// Failures throw std::runtime_error with what chromium said.
#pragma once

#include "harness.h"

#include <nlohmann/json.hpp>

#include <string>
#include <sys/types.h>
#include <vector>

class ChromiumPage {
public:
    // A window of `width` x `height` on `display` (":N"); `flags` are more
    // command-line options, `env` more "NAME=value" variables.
    ChromiumPage(const std::string& display, int width, int height, const std::vector<std::string>& flags = {},
                 const std::vector<std::string>& env = {});
    ~ChromiumPage();
    ChromiumPage(const ChromiumPage&) = delete;
    ChromiumPage& operator=(const ChromiumPage&) = delete;

    // A command to the page; its result.
    nlohmann::json call(const std::string& method, const nlohmann::json& params = nlohmann::json::object());
    // Returns once the page's load event has fired.
    void open(const std::string& url);
    // The expression's value, a promise's once it settles.
    nlohmann::json evaluate(const std::string& expression);
    // Checks `condition` on every animation frame; false if `seconds` pass first.
    bool waitUntil(const std::string& condition, double seconds = waitSeconds);
    Image screenshot();
    void mouseMove(int x, int y);
    void click(int x, int y);
    // `key` and `code` as KeyboardEvent has them.
    void key(const std::string& key, const std::string& code, int keyCode);
    // The console's messages, the page's uncaught exceptions and the
    // browser's log entries so far, a line each.
    std::string log() const;

private:
    void send(const std::string& method, const nlohmann::json& params, const std::string& session);
    nlohmann::json reply(int id, const std::string& method);
    nlohmann::json browserCall(const std::string& method, const nlohmann::json& params);
    // The next message, events noted on the way.
    nlohmann::json next(const std::string& waitingFor);
    void stop();

    std::string folder;                  // the profile and chromium's own output
    pid_t pid = -1;
    int socket = -1;
    int lastId = 0;
    std::string session;
    std::string received;
    std::vector<std::string> messages;
    int loads = 0;
};

// `python3 -m http.server` on 127.0.0.1 for a folder, ended with the object.
class FolderServer {
public:
    explicit FolderServer(const std::string& folder);
    ~FolderServer();
    FolderServer(const FolderServer&) = delete;
    FolderServer& operator=(const FolderServer&) = delete;

    std::string url(const std::string& path) const;

private:
    pid_t pid = -1;
    int port = 0;
};
