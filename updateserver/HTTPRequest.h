// Blocking HTTP(S) GET with libcurl: the transfer layer under the update
// server's queries.
#pragma once

#include <map>
#include <string>

// One reply: the URL requested, the HTTP status (0 until the transfer
// completed) and the body as received.
class HTTPResponse {
public:
    explicit HTTPResponse(const std::string &request) : request_(request) {}

    void set_status(long code) { status_ = code; }
    // Appends count bytes to the body; false when memory ran out.
    bool process(const char *bytes, size_t count);
    // Room for an announced body size, so a large reply is not copied while it grows.
    void reserve(size_t size) { response_.reserve(size); }

    const std::string &get_request() const { return request_; }
    long get_status() const { return status_; }
    // The body's own writable buffer (zero-terminated; body_size() bytes).
    char *get_response() { return &response_[0]; }
    const std::string &body() const { return response_; }
    std::string &body() { return response_; }
    size_t body_size() const { return response_.size(); }

private:
    std::string request_;
    long status_ = 0;
    std::string response_;
};

class HTTPRequest {
public:
    // Transfer limits: a connection that is not made within connect_seconds,
    // or a transfer moving less than low_speed_bytes per second for
    // low_speed_seconds, fails like any other transport error.
    struct Limits {
        long connect_seconds = 15;
        long low_speed_bytes = 1;
        long low_speed_seconds = 60;
    };

    // url + "?" + key=value& for every parameter in key order (no "?" when
    // there are none); values are sent as given, without percent-encoding.
    static std::string BuildURL(const std::string &url, const std::map<std::string, std::string> &parameters);

    // Performs the GET. Any HTTP status is returned, 404 and 500 included;
    // transport failures throw std::runtime_error with libcurl's text.
    // HTTPS peers are verified (host name and certificate chain); when the
    // environment variable CURL_CA_BUNDLE names a file it is the CA bundle.
    static HTTPResponse GET(const std::string &url, const std::map<std::string, std::string> &parameters);
    static HTTPResponse GET(const std::string &url, const std::map<std::string, std::string> &parameters,
                            const Limits &limits);
};
