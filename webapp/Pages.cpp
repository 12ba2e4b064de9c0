#include "Pages.h"

namespace tessera::webapp {
using nlohmann::json;

namespace {

constexpr std::string_view kStyle = R"(<style>
body{font-family:system-ui,sans-serif;margin:2rem;background:#111;color:#eee}
a{color:#8cf} .row{display:flex;gap:1rem;align-items:flex-start;flex-wrap:wrap}
video{max-width:100%;background:#000;border-radius:8px} #camera{width:240px;border-radius:50%}
table{border-collapse:collapse} td,th{padding:.3rem .8rem;border-bottom:1px solid #333;text-align:left}
</style>)";

// Plays the camera video and the microphone audio along with the screen video.
constexpr std::string_view kSyncScript = R"(<script>
const screen = document.getElementById('screen');
const followers = [document.getElementById('camera'), document.getElementById('mic')].filter(Boolean);
const sync = () => followers.forEach(f => { if (Math.abs(f.currentTime - screen.currentTime) > 0.2) f.currentTime = screen.currentTime; });
screen.addEventListener('play', () => { sync(); followers.forEach(f => f.play().catch(() => {})); });
screen.addEventListener('pause', () => followers.forEach(f => f.pause()));
screen.addEventListener('seeked', sync);
screen.addEventListener('ratechange', () => followers.forEach(f => f.playbackRate = screen.playbackRate));
</script>)";

std::string page(std::string_view title, const std::string& body) {
    std::string out = "<!doctype html><html><head><meta charset=\"utf-8\"><title>";
    out += htmlEscape(title);
    out += "</title>";
    out += kStyle;
    out += "</head><body>";
    out += body;
    out += "</body></html>";
    return out;
}

std::string displayTitle(const json& recording) {
    std::string title = recording.value("title", "");
    return title.empty() ? "Recording " + recording.value("id", "") : title;
}

}  // namespace

std::string htmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string libraryPage(const json& recordings) {
    std::string body = "<h1>Tessera recordings</h1>";
    if (recordings.empty()) {
        body += "<p>No recordings yet.</p>";
        return page("Tessera recordings", body);
    }
    body += "<table><tr><th>Recording</th><th>Created</th><th>Status</th><th>Length</th></tr>";
    for (const json& r : recordings) {
        const std::string id = r.value("id", "");
        body += "<tr><td><a href=\"/v/" + htmlEscape(id) + "\">" + htmlEscape(displayTitle(r)) +
                "</a></td><td>" + htmlEscape(r.value("createdAt", "")) + "</td><td>" +
                htmlEscape(r.value("status", "")) + "</td><td>";
        if (r.contains("durationSeconds") && r["durationSeconds"].is_number()) {
            body +=
                std::to_string(static_cast<int>(r["durationSeconds"].get<double>() + 0.5)) + " s";
        }
        body += "</td></tr>";
    }
    body += "</table>";
    return page("Tessera recordings", body);
}

std::string sharePage(const json& recording) {
    const std::string id = htmlEscape(recording.value("id", ""));
    const std::string title = displayTitle(recording);
    std::string body = "<p><a href=\"/\">All recordings</a></p><h1>" + htmlEscape(title) + "</h1>";
    const std::string status = recording.value("status", "");
    if (status != "ready") {
        body += status == "error"
                    ? "<p>Processing failed: " + htmlEscape(recording.value("error", "")) + "</p>"
                    : "<p>This recording is still being made. Reload the page in a moment.</p>";
        return page(title, body);
    }
    const json media = recording.value("media", json::object());
    const auto src = [&](const char* kind) {
        return "/media/" + id + "/" + htmlEscape(media.value(kind, ""));
    };
    body += "<div class=\"row\"><video id=\"screen\" controls preload=\"metadata\" src=\"" +
            src("screen") + "\"></video>";
    if (media.contains("camera")) {
        body += "<video id=\"camera\" muted playsinline preload=\"metadata\" src=\"" +
                src("camera") + "\"></video>";
    }
    body += "</div>";
    if (media.contains("mic")) {
        body += "<audio id=\"mic\" preload=\"metadata\" src=\"" + src("mic") + "\"></audio>";
    }
    const std::string description = recording.value("description", "");
    if (!description.empty()) {
        body += "<p style=\"white-space:pre-wrap\">" + htmlEscape(description) + "</p>";
    }
    body += kSyncScript;
    return page(title, body);
}

}  // namespace tessera::webapp
