#include "server/CurlTransport.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace tessera {
namespace {

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

bool isSuccess(long status) {
    return status >= 200 && status <= 299;
}

// "1 MiB" for whole mebibytes, else the byte count.
std::string describeLimit(std::size_t bytes) {
    constexpr std::size_t kMiB = 1024 * 1024;
    if (bytes >= kMiB && bytes % kMiB == 0) {
        return std::to_string(bytes / kMiB) + " MiB";
    }
    return std::to_string(bytes) + " bytes";
}

long milliseconds(Duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// Readable descriptions, in the words users know from other HTTP clients.
TransportError transportError(CURLcode code, const char* detail) {
    using C = TransportErrorCode;
    switch (code) {
        case CURLE_COULDNT_CONNECT:
            return TransportError(C::cannotConnectToHost, "Could not connect to the server.");
        case CURLE_COULDNT_RESOLVE_HOST:
            return TransportError(C::cannotFindHost,
                                  "A server with the specified hostname could not be found.");
        case CURLE_OPERATION_TIMEDOUT:
            return TransportError(C::timedOut, "The request timed out.");
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
            return TransportError(C::networkConnectionLost, "The network connection was lost.");
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return TransportError(C::badServerResponse, "The server's reply could not be read.");
        case CURLE_URL_MALFORMAT:
            return TransportError(C::badURL, "The server address is not valid.");
        case CURLE_ABORTED_BY_CALLBACK:
            return TransportError(C::cancelled, "The request was cancelled.");
        default: {
            std::string text = "The request failed: ";
            text += (detail && *detail) ? detail : curl_easy_strerror(code);
            return TransportError(C::other, text);
        }
    }
}

bool hasHeader(const HttpRequest& request, const char* name) {
    return std::any_of(request.headers.begin(), request.headers.end(),
                       [&](const auto& h) { return strcasecmp(h.first.c_str(), name) == 0; });
}

}  // namespace

struct CurlTransport::Transfer {
    HttpRequest request;  // keeps the body alive while libcurl reads it in place
    std::unique_ptr<CURL, EasyCleanup> easy;
    std::unique_ptr<curl_slist, SlistFree> headers;
    // Network thread only, while the transfer runs.
    std::string responseBody;
    std::size_t receivedBytes = 0;
    bool cutAtLimit = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    bool completed = false;

    // Written by the network thread before it posts the resumption; read by the
    // awaiting task after it resumes.
    std::optional<HttpResponse> response;
    std::exception_ptr error;

    // The task to resume; cleared when its frame goes away first.
    std::mutex waiterMutex;
    Executor* executor = nullptr;
    std::coroutine_handle<> waiter;

    bool configure();
    // libcurl's write callback: keeps or drops each piece of the reply body and
    // cuts the transfer once more than maxReplyBytes have arrived.
    static size_t receive(char* data, size_t size, size_t count, void* user);
    // The outcome of a finished transfer, from libcurl's result code.
    void finish(CURLcode result);
    void complete(std::optional<HttpResponse> reply, std::exception_ptr failure);
};

struct CurlTransport::Shared {
    std::mutex mutex;  // guards incoming and cancels
    std::vector<std::shared_ptr<Transfer>> incoming;
    std::vector<std::shared_ptr<Transfer>> cancels;
    std::unique_ptr<CURLM, MultiCleanup> multi{curl_multi_init()};
};

bool CurlTransport::Transfer::configure() {
    easy.reset(curl_easy_init());
    CURL* e = easy.get();
    if (!e) {
        return false;
    }
    curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::receive);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);

    const long timeoutMs = std::max(1L, milliseconds(request.timeout));
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, static_cast<long>(std::ceil(toSeconds(request.timeout)))));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, std::max(1L, milliseconds(request.resourceTimeout)));

    curl_slist* list = nullptr;
    for (const auto& [name, value] : request.headers) {
        list = curl_slist_append(list, (name + ": " + value).c_str());
    }
    // libcurl would otherwise wait for "100 Continue" before a large body.
    list = curl_slist_append(list, "Expect:");
    const bool sendsBody = request.method == "POST" || request.method == "PATCH" || request.body;
    if (sendsBody && !hasHeader(request, "Content-Type")) {
        // libcurl adds a form content type to bodies unless told not to.
        list = curl_slist_append(list, "Content-Type:");
    }
    headers.reset(list);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, list);

    if (request.method == "GET") {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else if (sendsBody) {
        static const char kEmpty[] = "";
        const char* data =
            request.body ? reinterpret_cast<const char*>(request.body->data()) : kEmpty;
        const auto size = request.body ? static_cast<curl_off_t>(request.body->size()) : 0;
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, size);
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, data);  // read in place, not copied
        if (request.method != "POST") {
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
    } else {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    return true;
}

size_t CurlTransport::Transfer::receive(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (bytes > t->request.maxReplyBytes - t->receivedBytes) {  // never more than the limit
        t->cutAtLimit = true;
        return 0;  // less than offered: libcurl ends the transfer with CURLE_WRITE_ERROR
    }
    t->receivedBytes += bytes;
    long status = 0;
    curl_easy_getinfo(t->easy.get(), CURLINFO_RESPONSE_CODE, &status);
    const ReplyBody policy = t->request.replyBody;
    const bool keep =
        policy == ReplyBody::keep || (policy == ReplyBody::discardOnSuccess && !isSuccess(status));
    if (keep) {
        t->responseBody.append(data, bytes);
    }
    return bytes;
}

void CurlTransport::Transfer::finish(CURLcode result) {
    long status = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
    if (result == CURLE_WRITE_ERROR && cutAtLimit) {
        if (isSuccess(status) && request.replyBody == ReplyBody::keep) {
            complete(std::nullopt, std::make_exception_ptr(TransportError(
                                       TransportErrorCode::badServerResponse,
                                       "The server's reply is larger than the " +
                                           describeLimit(request.maxReplyBytes) + " limit.")));
            return;
        }
        // The status is all such a caller reads; the rest of the body is not waited for.
        result = CURLE_OK;
    }
    if (result == CURLE_OK) {
        complete(HttpResponse{static_cast<int>(status), std::move(responseBody)}, nullptr);
    } else {
        complete(std::nullopt, std::make_exception_ptr(transportError(result, errorBuffer)));
    }
}

void CurlTransport::Transfer::complete(std::optional<HttpResponse> reply,
                                       std::exception_ptr failure) {
    if (completed) {
        return;
    }
    completed = true;
    response = std::move(reply);
    error = std::move(failure);
    std::lock_guard lock(waiterMutex);
    if (waiter) {
        executor->post([h = std::exchange(waiter, {})] { h.resume(); });
    }
}

class CurlTransport::Awaiter {
  public:
    Awaiter(CurlTransport& transport, HttpRequest request)
        : transport_(transport), transfer_(std::make_shared<Transfer>()) {
        transfer_->request = std::move(request);
    }
    Awaiter(const Awaiter&) = delete;
    Awaiter& operator=(const Awaiter&) = delete;
    ~Awaiter() {
        // A frame destroyed while its transfer runs: nobody may resume it.
        bool pending = false;
        {
            std::lock_guard lock(transfer_->waiterMutex);
            pending = static_cast<bool>(transfer_->waiter);
            transfer_->waiter = {};
        }
        if (pending) {
            transport_.cancel(transfer_);
        }
    }

    bool await_ready() noexcept { return false; }
    template <detail::TaskPromise P>
    bool await_suspend(std::coroutine_handle<P> self) {
        context_ = self.promise().context;
        if (context_.isCancelled()) {
            return false;
        }
        {
            std::lock_guard lock(transfer_->waiterMutex);
            transfer_->executor = context_.executor;
            transfer_->waiter = self;
        }
        transport_.submit(transfer_);
        registration_ =
            CancelRegistration(context_.cancel, [this] { transport_.cancel(transfer_); });
        return true;
    }
    HttpResponse await_resume() {
        registration_.reset();
        if (context_.isCancelled()) {
            throw CancelledError();
        }
        if (transfer_->error) {
            std::rethrow_exception(transfer_->error);
        }
        return std::move(*transfer_->response);
    }

  private:
    CurlTransport& transport_;
    std::shared_ptr<Transfer> transfer_;
    TaskContext context_;
    CancelRegistration registration_;
};

CurlTransport::CurlTransport()
    : shared_(std::make_shared<Shared>()), network_([this](std::stop_token stop) { run(stop); }) {}

CurlTransport::~CurlTransport() {
    network_.request_stop();
    wake();
    network_.join();
}

Task<HttpResponse> CurlTransport::send(HttpRequest request) {
    // A named awaiter: GCC 12 mishandles some temporaries of a co_await expression.
    Awaiter awaiter(*this, std::move(request));
    co_return co_await awaiter;
}

void CurlTransport::submit(std::shared_ptr<Transfer> transfer) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->incoming.push_back(std::move(transfer));
    }
    wake();
}

void CurlTransport::cancel(std::shared_ptr<Transfer> transfer) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->cancels.push_back(std::move(transfer));
    }
    wake();
}

void CurlTransport::wake() {
    curl_multi_wakeup(shared_->multi.get());
}

void CurlTransport::run(std::stop_token stop) {
    CURLM* multi = shared_->multi.get();
    std::map<CURL*, std::shared_ptr<Transfer>> active;
    const auto abandon = [&](std::shared_ptr<Transfer> t) {
        if (t->easy && active.erase(t->easy.get()) > 0) {
            curl_multi_remove_handle(multi, t->easy.get());
        }
        t->complete(std::nullopt,
                    std::make_exception_ptr(transportError(CURLE_ABORTED_BY_CALLBACK, nullptr)));
    };
    while (true) {
        std::vector<std::shared_ptr<Transfer>> incoming, cancels;
        {
            std::lock_guard lock(shared_->mutex);
            incoming.swap(shared_->incoming);
            cancels.swap(shared_->cancels);
        }
        for (auto& t : incoming) {
            if (!t->configure() || curl_multi_add_handle(multi, t->easy.get()) != CURLM_OK) {
                t->complete(std::nullopt, std::make_exception_ptr(transportError(
                                              CURLE_FAILED_INIT, "cannot start the request")));
                continue;
            }
            active[t->easy.get()] = t;
        }
        for (auto& t : cancels) {
            abandon(t);
        }
        if (stop.stop_requested()) {
            break;
        }
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE) {
                continue;
            }
            auto it = active.find(msg->easy_handle);
            if (it == active.end()) {
                continue;
            }
            std::shared_ptr<Transfer> t = std::move(it->second);
            active.erase(it);
            const CURLcode result = msg->data.result;
            curl_multi_remove_handle(multi, t->easy.get());
            t->finish(result);
        }
        curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    while (!active.empty()) {
        abandon(active.begin()->second);
    }
}

}  // namespace tessera
