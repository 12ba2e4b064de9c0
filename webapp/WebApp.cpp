#include "WebApp.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "Pages.h"

namespace tessera::webapp {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kId = "([a-z0-9]{1,64})";

void replyJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void replyError(httplib::Response& res, int status, const std::string& message) {
    replyJson(res, status, json{{"error", message}});
}

// Returns a readable problem with a create request, or an empty string.
std::string createRequestProblem(const json& body) {
    if (!body.is_object()) {
        return "The request body must be a JSON object";
    }
    for (const char* key : {"hasCamera", "hasAudio"}) {
        if (!body.contains(key) || !body[key].is_boolean()) {
            return std::string("\"") + key + "\" must be true or false";
        }
    }
    for (const char* key : {"screenMime", "source"}) {
        if (!body.contains(key) || !body[key].is_string()) {
            return std::string("\"") + key + "\" must be a string";
        }
    }
    for (const char* key : {"width", "height"}) {
        if (!body.contains(key) || !body[key].is_number_integer() ||
            body[key].get<int64_t>() <= 0) {
            return std::string("\"") + key + "\" must be a positive integer";
        }
    }
    for (const char* key : {"title", "cameraMime"}) {
        if (body.contains(key) && !body[key].is_string()) {
            return std::string("\"") + key + "\" must be a string when present";
        }
    }
    return {};
}

std::string lowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

struct HostAndPort {
    std::string name;  // lower case; an IPv6 address keeps its brackets
    std::optional<std::string> port;
};

// Splits "name", "name:port", "[v6]" or "[v6]:port"; none when malformed.
std::optional<HostAndPort> splitHost(std::string_view text) {
    HostAndPort out;
    std::string_view rest;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        out.name = lowercase(text.substr(0, close + 1));
        rest = text.substr(close + 1);
    } else {
        const auto colon = text.find(':');
        out.name = lowercase(text.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
    }
    if (!rest.empty()) {
        const std::string_view digits = rest.substr(1);
        if (rest[0] != ':' || digits.empty() ||
            digits.find_first_not_of("0123456789") != std::string_view::npos) {
            return std::nullopt;
        }
        out.port = std::string(digits);
    }
    if (out.name.empty()) {
        return std::nullopt;
    }
    return out;
}

// "text/plain; charset=utf-8" -> "text/plain".
std::string mediaType(std::string_view contentType) {
    std::string_view type = contentType.substr(0, contentType.find(';'));
    const auto first = type.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    type = type.substr(first, type.find_last_not_of(" \t") - first + 1);
    return lowercase(type);
}

// The content types a page on any site can send with a plain form or a simple
// fetch, without the browser asking this server first (no CORS preflight).
bool isFormContentType(const std::string& type) {
    return type == "application/x-www-form-urlencoded" || type == "multipart/form-data" ||
           type == "text/plain";
}

bool changesState(const std::string& method) {
    return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

// A refusal ends the connection: the request's body, if any, is never read.
void refuse(httplib::Response& res, int status, const std::string& message) {
    res.set_header("Connection", "close");
    replyError(res, status, message);
}

// Closes the connection a request arrived on, without an answer. cpp-httplib does
// not hand the socket to handlers, so it is found among the process's descriptors by
// its two port numbers.
void dropConnection(int localPort, int remotePort) {
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        int fd = 0;
        try {
            fd = std::stoi(entry.path().filename().string());
        } catch (const std::exception&) {
            continue;
        }
        sockaddr_storage local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0 ||
            local.ss_family != AF_INET || peer.ss_family != AF_INET) {
            continue;
        }
        const auto* l = reinterpret_cast<const sockaddr_in*>(&local);
        const auto* p = reinterpret_cast<const sockaddr_in*>(&peer);
        if (ntohs(l->sin_port) == localPort && ntohs(p->sin_port) == remotePort) {
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
    }
}

}  // namespace

WebApp::WebApp(WebAppOptions options)
    : options_(std::move(options)),
      storage_(options_.dataDir),
      faults_(options_.testHooks ? std::make_unique<FaultInjector>() : nullptr),
      server_(std::make_unique<httplib::Server>()) {
    const std::string id(kId);
    route("GET", "/api/recordings", "list", &WebApp::list);
    route("POST", "/api/recordings", "create", &WebApp::create);
    route("GET", ("/api/recordings/" + id).c_str(), "get", &WebApp::get);
    route("POST", ("/api/recordings/" + id + "/chunk").c_str(), "chunk", &WebApp::chunk);
    route("PATCH", ("/api/recordings/" + id).c_str(), "update", &WebApp::update);
    route("POST", ("/api/recordings/" + id + "/finalize").c_str(), "finalize", &WebApp::finalize);
    route("DELETE", ("/api/recordings/" + id).c_str(), "delete", &WebApp::remove);
    route("GET", ("/v/" + id).c_str(), "share", &WebApp::share);
    route("GET", "/", "library", &WebApp::library);
    if (faults_) {
        server_->Post("/__test/faults",
                      [this](const auto& req, auto& res) { addFaults(req, res); });
        server_->Delete("/__test/faults",
                        [this](const auto& req, auto& res) { clearFaults(req, res); });
    }
    // Idle kept-alive connections hold a worker (and so a shutdown) for this long.
    server_->set_keep_alive_timeout(1);
    server_->set_mount_point("/media", storage_.mediaDir().string());
    server_->set_pre_routing_handler([this](const auto& req, auto& res) {
        return screen(req, res) ? httplib::Server::HandlerResponse::Handled
                                : httplib::Server::HandlerResponse::Unhandled;
    });
    server_->set_exception_handler([](const auto& req, auto& res, std::exception_ptr ep) {
        std::string what = "Internal error";
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
            // Not a std::exception: the client gets the generic text, the log says so.
        }
        std::cerr << "tessera-webapp: " << req.method << " " << req.path << " failed: " << what
                  << std::endl;
        replyError(res, 500, what);
    });
    server_->set_error_handler([](const auto&, auto& res) {
        if (res.body.empty() && res.status == 404) {
            replyError(res, 404, "Not found");
        }
    });
}

WebApp::~WebApp() = default;

bool WebApp::isKnownHost(const std::string& hostHeader) const {
    const auto host = splitHost(hostHeader);
    if (!host) {
        return false;
    }
    std::string listening = options_.host;
    if (listening.find(':') != std::string::npos && !listening.starts_with('[')) {
        listening = "[" + listening + "]";
    }
    const std::string loopbackNames[] = {"localhost", "127.0.0.1", "[::1]", lowercase(listening)};
    if (std::find(std::begin(loopbackNames), std::end(loopbackNames), host->name) !=
        std::end(loopbackNames)) {
        return true;
    }
    return std::any_of(options_.publicHosts.begin(), options_.publicHosts.end(),
                       [&](const std::string& allowed) {
                           const auto known = splitHost(allowed);
                           return known && known->name == host->name &&
                                  (!known->port || known->port == host->port);
                       });
}

bool WebApp::screen(const httplib::Request& req, httplib::Response& res) const {
    const std::string host = req.get_header_value("Host");
    if (!isKnownHost(host)) {
        refuse(res, 421,
               "This server does not answer to the host name \"" + host.substr(0, 255) +
                   "\". Use localhost or 127.0.0.1, or start it with --public-host NAME.");
        return true;
    }
    if (!changesState(req.method)) {
        return false;
    }
    const std::string type = mediaType(req.get_header_value("Content-Type"));
    if (isFormContentType(type)) {
        refuse(res, 415,
               "Content-Type " + type +
                   " is not accepted; send application/json or "
                   "application/octet-stream");
        return true;
    }
    if (req.has_header("Origin")) {
        const std::string origin = req.get_header_value("Origin");
        const auto scheme = origin.find("://");
        if (scheme == std::string::npos || !isKnownHost(origin.substr(scheme + 3))) {
            refuse(res, 403, "Requests from pages on other sites are refused");
            return true;
        }
    }
    if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) {
        // A request with neither has no body. cpp-httplib would read on until the
        // client closes the connection, which a client waiting for its answer never
        // does, and then answer an empty 400. The request is the server's own,
        // non-const object; only the handler interface passes it as const.
        const_cast<httplib::Request&>(req).headers.emplace("Content-Length", "0");
    }
    return false;
}

void WebApp::route(const char* method, const char* pattern, const std::string& name,
                   Handler handler) {
    auto wrapped = [this, name, handler](const httplib::Request& req, httplib::Response& res) {
        if (faults_) {
            auto action = faults_->next(name, req.get_param_value("kind"));
            if (action && !applyFault(*action, req, res)) {
                return;
            }
        }
        (this->*handler)(req, res);
    };
    const std::string m(method);
    if (m == "GET") {
        server_->Get(pattern, wrapped);
    } else if (m == "POST") {
        server_->Post(pattern, wrapped);
    } else if (m == "PATCH") {
        server_->Patch(pattern, wrapped);
    } else {
        server_->Delete(pattern, wrapped);
    }
}

bool WebApp::applyFault(const FaultAction& action, const httplib::Request& req,
                        httplib::Response& res) {
    if (action.delayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(action.delayMs));
    }
    if (action.drop) {
        dropConnection(port_, req.remote_port);
        return false;
    }
    if (action.status != 0) {
        res.status = action.status;
        res.set_content(action.body, action.contentType.c_str());
        return false;
    }
    return true;
}

int WebApp::bind() {
    port_ = options_.port == 0
                ? server_->bind_to_any_port(options_.host)
                : (server_->bind_to_port(options_.host, options_.port) ? options_.port : -1);
    if (port_ <= 0) {
        throw std::runtime_error("Cannot listen on " + options_.host + ":" +
                                 std::to_string(options_.port));
    }
    return port_;
}

void WebApp::listen() {
    server_->listen_after_bind();
}

void WebApp::stop() {
    server_->stop();
}

std::string WebApp::shareUrl(const httplib::Request& req, const std::string& id) const {
    // The Host header names the address the client used; it is only trusted when it
    // holds nothing but host-and-port characters, since it ends up in links and pages.
    std::string host = req.get_header_value("Host");
    const bool plausible =
        !host.empty() && host.size() <= 262 &&
        host.find_first_not_of(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-:[]") ==
            std::string::npos;
    if (!plausible) {
        host = options_.host + ":" + std::to_string(port_);
    }
    return "http://" + host + "/v/" + id;
}

json WebApp::publicRecord(const httplib::Request& req, json meta) const {
    meta.erase("deleted");
    meta["shareUrl"] = shareUrl(req, meta["id"].get<std::string>());
    return meta;
}

void WebApp::list(const httplib::Request& req, httplib::Response& res) {
    json all = storage_.list();
    for (json& r : all) {
        r = publicRecord(req, std::move(r));
    }
    replyJson(res, 200, all);
}

void WebApp::create(const httplib::Request& req, httplib::Response& res) {
    json body = json::parse(req.body, nullptr, /*allow_exceptions=*/false);
    if (body.is_discarded()) {
        replyError(res, 400, "The request body is not valid JSON");
        return;
    }
    if (std::string problem = createRequestProblem(body); !problem.empty()) {
        replyError(res, 400, problem);
        return;
    }
    replyJson(res, 201, publicRecord(req, storage_.create(body)));
}

void WebApp::get(const httplib::Request& req, httplib::Response& res) {
    if (auto meta = storage_.get(req.matches[1])) {
        replyJson(res, 200, publicRecord(req, std::move(*meta)));
    } else {
        replyError(res, 404, "Recording not found");
    }
}

void WebApp::chunk(const httplib::Request& req, httplib::Response& res) {
    const std::string kind = req.get_param_value("kind");
    if (!Storage::isKnownKind(kind)) {
        replyError(res, 400, "Unknown chunk kind \"" + kind + "\"");
        return;
    }
    if (req.body.empty()) {
        replyError(res, 400, "The chunk is empty");
        return;
    }
    switch (storage_.appendChunk(req.matches[1], kind, req.body)) {
        case Storage::Outcome::ok:
            replyJson(res, 200, json{{"ok", true}});
            return;
        case Storage::Outcome::notFound:
            replyError(res, 404, "Recording not found");
            return;
        case Storage::Outcome::finalized:
            replyError(res, 409, "The recording is already finalized");
            return;
        case Storage::Outcome::ioError:
            replyError(res, 500, "The chunk could not be stored");
            return;
    }
}

void WebApp::update(const httplib::Request& req, httplib::Response& res) {
    json body = json::parse(req.body, nullptr, /*allow_exceptions=*/false);
    if (!body.is_object() || !body.contains("description") || !body["description"].is_string()) {
        replyError(res, 400, "\"description\" must be a string");
        return;
    }
    if (storage_.updateDescription(req.matches[1], body["description"]) != Storage::Outcome::ok) {
        replyError(res, 404, "Recording not found");
        return;
    }
    replyJson(res, 200, publicRecord(req, *storage_.get(req.matches[1])));
}

void WebApp::finalize(const httplib::Request& req, httplib::Response& res) {
    if (auto meta = storage_.finalize(req.matches[1])) {
        replyJson(res, 200, publicRecord(req, std::move(*meta)));
    } else {
        replyError(res, 404, "Recording not found");
    }
}

void WebApp::remove(const httplib::Request& req, httplib::Response& res) {
    switch (storage_.remove(req.matches[1])) {
        case Storage::Outcome::ok:
            res.status = 204;
            return;
        case Storage::Outcome::notFound:
            replyError(res, 404, "Recording not found");
            return;
        default:
            replyError(res, 500, "The recording could not be removed completely");
            return;
    }
}

void WebApp::share(const httplib::Request& req, httplib::Response& res) {
    if (auto meta = storage_.get(req.matches[1])) {
        res.set_content(sharePage(*meta), "text/html; charset=utf-8");
    } else {
        res.status = 404;
        res.set_content("<!doctype html><p>No such recording.</p>", "text/html; charset=utf-8");
    }
}

void WebApp::library(const httplib::Request&, httplib::Response& res) {
    res.set_content(libraryPage(storage_.list()), "text/html; charset=utf-8");
}

void WebApp::addFaults(const httplib::Request& req, httplib::Response& res) {
    json body = json::parse(req.body, nullptr, /*allow_exceptions=*/false);
    try {
        if (body.is_array()) {
            for (const json& rule : body) {
                faults_->add(rule);
            }
        } else {
            faults_->add(body);
        }
    } catch (const std::invalid_argument& e) {
        replyError(res, 400, e.what());
        return;
    }
    replyJson(res, 200, json{{"ok", true}});
}

void WebApp::clearFaults(const httplib::Request&, httplib::Response& res) {
    faults_->clear();
    res.status = 204;
}

}  // namespace tessera::webapp
