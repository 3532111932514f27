#include "updateserver/HTTPRequest.h"

#include "common/Log.h"

#include <cstdlib>
#include <curl/curl.h>
#include <new>
#include <stdexcept>
#include <sys/stat.h>

namespace {

// An announced body larger than this is not reserved up front; it still
// arrives, growing as it comes.
constexpr curl_off_t kMaxReserve = curl_off_t(1) << 30;

struct Transfer {
    HTTPResponse *response;
    CURL *curl;
    bool reserved;
};

size_t _rcv_data(char *data, size_t size, size_t count, void *user)
{
    Transfer *transfer = static_cast<Transfer *>(user);
    size_t bytes = size * count;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n", (int)size, (int)count,
             (unsigned)(uintptr_t)transfer->response, std::string(data, bytes < 100 ? bytes : 100).c_str());
    if (!transfer->reserved) {
        transfer->reserved = true;
        curl_off_t announced = -1;
        if (curl_easy_getinfo(transfer->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
            announced > 0 && announced <= kMaxReserve) {
            try {
                transfer->response->reserve((size_t)announced);
            } catch (const std::exception &) {
                // Not fatal: the body still grows as it arrives.
            }
        }
    }
    // Returning less than offered aborts the transfer (CURLE_WRITE_ERROR).
    if (!transfer->response->process(data, bytes))
        return 0;
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", (int)bytes);
    return bytes;
}

std::string _ca_bundle()
{
    const char *path = getenv("CURL_CA_BUNDLE");
    struct stat st;
    if (path && *path && stat(path, &st) == 0 && S_ISREG(st.st_mode))
        return path;
    return std::string();
}

class EasyHandle {
public:
    EasyHandle() : curl_(curl_easy_init()) {}
    ~EasyHandle()
    {
        if (curl_)
            curl_easy_cleanup(curl_);
    }
    EasyHandle(const EasyHandle &) = delete;
    EasyHandle &operator=(const EasyHandle &) = delete;
    CURL *get() const { return curl_; }

private:
    CURL *curl_;
};

void _check(CURLcode code)
{
    if (code != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(code));
}

} // namespace

bool HTTPResponse::process(const char *bytes, size_t count)
{
    try {
        response_.append(bytes, count);
    } catch (const std::exception &) {
        return false;
    }
    return true;
}

std::string HTTPRequest::BuildURL(const std::string &url, const std::map<std::string, std::string> &parameters)
{
    std::string full = url;
    if (!parameters.empty())
        full += "?";
    for (const auto &p : parameters) {
        full += p.first;
        full += "=";
        full += p.second;
        full += "&";
    }
    return full;
}

HTTPResponse HTTPRequest::GET(const std::string &url, const std::map<std::string, std::string> &parameters)
{
    return GET(url, parameters, Limits());
}

HTTPResponse HTTPRequest::GET(const std::string &url, const std::map<std::string, std::string> &parameters,
                              const Limits &limits)
{
    std::string full = BuildURL(url, parameters);
    HTTPResponse response(full);
    EasyHandle handle;
    CURL *curl = handle.get();
    if (!curl)
        throw std::runtime_error("Could not create curl instance");
    Transfer transfer{&response, curl, false};
    std::string ca = _ca_bundle();

    _check(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data));
    _check(curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer));
    _check(curl_easy_setopt(curl, CURLOPT_URL, full.c_str()));
    // Images carry no signature of their own: only a verified server may hand them out.
    _check(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L));
    _check(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L));
    _check(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L));
    if (!ca.empty())
        _check(curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str()));
    // Never wait forever on a dead or stalled server.
    _check(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connect_seconds));
    _check(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_bytes));
    _check(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.low_speed_seconds));
    // Time-outs without signals: the download runs on a worker thread.
    _check(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
    _check(curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"));

    Log::log(DEBUG_ServerComm, "GET(%s)\n", full.c_str());
    _check(curl_easy_perform(curl));
    long status = 0;
    _check(curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status));
    response.set_status(status);
    return response;
}
