#include "chromium-page.h"

#include <stb_image.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Longer than any wait a page's script makes, so that the script reports
// its own time-out.
const double replySeconds = waitSeconds + 30;

// Starts `args` in a process group of its own, so that what it starts in
// turn ends with it, and ends it when this program dies, however it dies.
// `env` ("NAME=value") goes to env(1). `wire` sets up its descriptors in the
// child, with async-signal-safe calls only.
pid_t start(const std::vector<std::string>& env, const std::vector<std::string>& args,
            const std::function<void()>& wire)
{
    std::vector<std::string> command = {"/usr/bin/env"};
    command.insert(command.end(), env.begin(), env.end());
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        dup2(open("/dev/null", O_RDONLY), 0);
        wire();
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0)
        throw std::runtime_error("could not start " + args[0] + ": " + std::strerror(errno));
    return pid;
}

std::string fromBase64(const std::string& text)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned bits = 0;
    int held = 0;
    for (char c : text) {
        const char* at = c ? std::strchr(alphabet, c) : nullptr;
        if (!at)
            continue;
        bits = bits << 6 | unsigned(at - alphabet);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes += char(bits >> held & 0xff);
        }
    }
    return bytes;
}

std::string text(const nlohmann::json& value)
{
    return value.is_string() ? value.get<std::string>() : value.dump();
}

}  // namespace

ChromiumPage::ChromiumPage(const std::string& display, int width, int height, const std::vector<std::string>& flags,
                           const std::vector<std::string>& env)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mosaic-chromium-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("no temporary folder for chromium's profile");
    folder = pattern;
    // Without a display and ANGLE's OpenGL backend chromium draws WebGL with
    // SwiftShader, not the driver under test.
    std::vector<std::string> args = {"/usr/bin/chromium", "--headless", "--no-sandbox", "--use-angle=gl",
                                     "--ignore-gpu-blocklist", "--no-first-run", "--disable-background-networking",
                                     "--disable-component-update", "--disable-sync", "--disable-quic",
                                     "--remote-debugging-pipe", "--user-data-dir=" + folder + "/profile"};
    args.insert(args.end(), flags.begin(), flags.end());
    std::vector<std::string> environment = {"DISPLAY=" + display};
    environment.insert(environment.end(), env.begin(), env.end());
    int ends[2] = {-1, -1};
    try {
        // Chromium reads commands on descriptor 3 and answers on 4: one
        // socket serves both, and a write to a chromium that is gone fails
        // rather than raise SIGPIPE.
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            throw std::runtime_error("no socket for chromium's pipe");
        socket = ends[0];
        const std::string log = folder + "/chromium.log";
        pid = start(environment, args, [&] {
            dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(1, 2);
            // dup2 onto the descriptor itself would leave it to close on exec.
            const int end = ends[1] == 3 || ends[1] == 4 ? dup(ends[1]) : ends[1];
            dup2(end, 3);
            dup2(end, 4);
        });
        close(ends[1]);
        ends[1] = -1;
        const std::string target = browserCall("Target.createTarget", {{"url", "about:blank"}})["targetId"];
        session = browserCall("Target.attachToTarget", {{"targetId", target}, {"flatten", true}})["sessionId"];
        const nlohmann::json window = browserCall("Browser.getWindowForTarget", {{"targetId", target}});
        // The window's own size would include the browser's bars.
        browserCall("Browser.setContentsSize",
                    {{"windowId", window["windowId"]}, {"width", width}, {"height", height}});
        call("Page.enable");
        call("Runtime.enable");
        call("Log.enable");
    } catch (...) {
        if (ends[1] >= 0)
            close(ends[1]);
        stop();
        throw;
    }
}

ChromiumPage::~ChromiumPage()
{
    stop();
}

void ChromiumPage::stop()
{
    if (pid > 0) {
        try {
            send("Browser.close", nlohmann::json::object(), "");
        } catch (const std::runtime_error&) {
            // It is gone already.
        }
        int status = 0;
        const bool ended = waitFor([&] { return waitpid(pid, &status, WNOHANG) != 0; }, waitSeconds);
        // Its helpers that outlive it, or all of it if it hangs.
        kill(-pid, SIGKILL);
        if (!ended)
            waitpid(pid, &status, 0);
        pid = -1;
    }
    if (socket >= 0)
        close(socket);
    socket = -1;
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

void ChromiumPage::send(const std::string& method, const nlohmann::json& params, const std::string& to)
{
    nlohmann::json command = {{"id", ++lastId}, {"method", method}, {"params", params}};
    if (!to.empty())
        command["sessionId"] = to;
    const std::string bytes = command.dump() + '\0';
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t wrote = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (wrote <= 0)
            throw std::runtime_error("chromium no longer takes commands: " + method);
        sent += size_t(wrote);
    }
}

nlohmann::json ChromiumPage::next(const std::string& waitingFor)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + duration<double>(replySeconds);
    size_t end;
    while ((end = received.find('\0')) == std::string::npos) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        pollfd in{socket, POLLIN, 0};
        if (left <= 0 || poll(&in, 1, int(left)) <= 0)
            throw std::runtime_error("chromium did not answer " + waitingFor + " within " +
                                     std::to_string(int(replySeconds)) + " s\n" + log());
        char buffer[65536];
        const ssize_t got = read(socket, buffer, sizeof buffer);
        if (got <= 0) {
            const std::string said = readFile(folder + "/chromium.log");
            throw std::runtime_error("chromium ended before it answered " + waitingFor + "; it said:\n" +
                                     said.substr(said.size() > 4000 ? said.size() - 4000 : 0));
        }
        received.append(buffer, size_t(got));
    }
    nlohmann::json message = nlohmann::json::parse(received.begin(), received.begin() + long(end));
    received.erase(0, end + 1);
    const std::string method = message.value("method", "");
    const nlohmann::json params = message.value("params", nlohmann::json::object());
    if (method == "Page.loadEventFired") {
        ++loads;
    } else if (method == "Runtime.consoleAPICalled") {
        std::string line = "console." + text(params["type"]) + ":";
        for (const auto& arg : params["args"])
            line += " " + text(arg.contains("value") ? arg["value"] : arg.value("description", arg["type"]));
        messages.push_back(line);
    } else if (method == "Runtime.exceptionThrown") {
        const auto& details = params["exceptionDetails"];
        const auto thrown = details.value("exception", details);
        messages.push_back("exception: " + text(thrown.value("description", details["text"])));
    } else if (method == "Log.entryAdded") {
        const auto& entry = params["entry"];
        messages.push_back(text(entry["level"]) + ": " + text(entry["text"]) + " " + entry.value("url", ""));
    }
    return message;
}

nlohmann::json ChromiumPage::reply(int id, const std::string& method)
{
    for (;;) {
        nlohmann::json message = next(method);
        if (message.value("id", 0) != id)
            continue;
        if (message.contains("error"))
            throw std::runtime_error(method + " failed: " + text(message["error"].value("message", message["error"])));
        return message["result"];
    }
}

nlohmann::json ChromiumPage::browserCall(const std::string& method, const nlohmann::json& params)
{
    send(method, params, "");
    return reply(lastId, method);
}

nlohmann::json ChromiumPage::call(const std::string& method, const nlohmann::json& params)
{
    send(method, params, session);
    return reply(lastId, method);
}

void ChromiumPage::open(const std::string& url)
{
    const int before = loads;
    const nlohmann::json result = call("Page.navigate", {{"url", url}});
    if (result.contains("errorText"))
        throw std::runtime_error("could not open " + url + ": " + text(result["errorText"]));
    while (loads == before)
        next("the load of " + url);
}

nlohmann::json ChromiumPage::evaluate(const std::string& expression)
{
    const nlohmann::json result =
        call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}});
    if (result.contains("exceptionDetails")) {
        const auto& details = result["exceptionDetails"];
        throw std::runtime_error(
            "the page threw on " + expression + ": " +
            (details.contains("exception") ? details["exception"].value("description", "") : text(details["text"])));
    }
    return result["result"].value("value", nlohmann::json());
}

bool ChromiumPage::waitUntil(const std::string& condition, double seconds)
{
    // A condition that throws, as one on an object the page has not made
    // yet does, does not hold.
    return evaluate("new Promise(done => { setTimeout(() => done(false), " + std::to_string(int(seconds * 1000)) +
                    "); const check = () => { let holds = false; try { holds = !!(" + condition +
                    "); } catch (e) {} if (holds) done(true); else requestAnimationFrame(check); }; check(); })") ==
           true;
}

Image ChromiumPage::screenshot()
{
    const std::string png = fromBase64(call("Page.captureScreenshot", {{"format", "png"}})["data"]);
    Image image;
    int channels = 0;
    unsigned char* pixels = stbi_load_from_memory(reinterpret_cast<const unsigned char*>(png.data()), int(png.size()),
                                                  &image.width, &image.height, &channels, 3);
    if (!pixels)
        throw std::runtime_error("the screenshot is no PNG");
    image.rgb.assign(pixels, pixels + size_t(image.width) * image.height * 3);
    stbi_image_free(pixels);
    return image;
}

void ChromiumPage::mouseMove(int x, int y)
{
    call("Input.dispatchMouseEvent", {{"type", "mouseMoved"}, {"x", x}, {"y", y}});
}

void ChromiumPage::click(int x, int y)
{
    mouseMove(x, y);
    for (const char* type : {"mousePressed", "mouseReleased"})
        call("Input.dispatchMouseEvent",
             {{"type", type}, {"x", x}, {"y", y}, {"button", "left"}, {"buttons", 1}, {"clickCount", 1}});
}

void ChromiumPage::key(const std::string& key, const std::string& code, int keyCode)
{
    nlohmann::json event = {{"key", key}, {"code", code}, {"windowsVirtualKeyCode", keyCode}};
    if (key.size() == 1)
        event["text"] = key;
    event["type"] = "keyDown";
    call("Input.dispatchKeyEvent", event);
    event["type"] = "keyUp";
    call("Input.dispatchKeyEvent", event);
}

std::string ChromiumPage::log() const
{
    std::string all;
    for (const auto& message : messages)
        all += message + "\n";
    return all;
}

FolderServer::FolderServer(const std::string& folder)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe for the HTTP server");
    pid = start({}, {"/usr/bin/python3", "-u", "-m", "http.server", "--bind", "127.0.0.1", "0", "--directory", folder},
                [&] {
                    dup2(out[1], 1);
                    dup2(open("/dev/null", O_WRONLY), 2);
                });
    close(out[1]);
    FILE* said = fdopen(out[0], "r");
    char line[256];
    while (port == 0 && std::fgets(line, sizeof line, said))
        std::sscanf(line, "Serving HTTP on %*s port %d", &port);
    std::fclose(said);
    if (port == 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        throw std::runtime_error("python3 -m http.server did not serve " + folder);
    }
}

FolderServer::~FolderServer()
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

std::string FolderServer::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + "/" + path;
}
