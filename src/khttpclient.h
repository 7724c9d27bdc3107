#ifndef KHTTPCLIENT_H
#define KHTTPCLIENT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

inline constexpr char HTTP_PREFIX[] = "http://";
inline constexpr char HTTPS_PREFIX[] = "https://";

// A minimal HTTP/1.1 POST client, over plain TCP or TLS. Stateless; never instantiated.
class KHTTPClient {
public:
    using Params = std::map<std::string, std::string>;
    enum class Scheme { Http, Https };

    // Sending the request and reading its reply share one bound per attempt, so that a server
    // that accepts and then stalls cannot hold the agent.
    static constexpr std::chrono::milliseconds REPLY_TIMEOUT{10000};
    // Replies are short status texts; anything longer is cut here rather than held in memory.
    static constexpr size_t MAX_BODY_BYTES = size_t{64} * 1024;

    KHTTPClient() = delete;

    // Splits "http://host[:port][/path]"; the out parameters are written only on success. An IPv6
    // host is written and returned in brackets ("[::1]"). A URL with a byte at or below 0x20, or
    // 0x7F, is refused.
    static bool urlParse(std::string url, std::string& host, uint16_t& port, std::string& path);
    // The same for "http://" (port 80 by default) and "https://" (port 443), telling which.
    static bool urlParse(const std::string& url, Scheme& scheme, std::string& host,
                         uint16_t& port, std::string& path);
    static std::string generateMsg(const std::string& method, std::string path,
                                   const Params& params, const std::string& body,
                                   const Params& headers);
    // The body of the reply, or empty on any failure. The request goes through the HTTP proxy
    // that the environment names, if any (see KProxySettings).
    static std::string post(const std::string& url, const Params& params, const std::string& body,
                            const Params& headers);
    // Internal: post with the caller's bounds instead of the defaults, so tests can use short ones.
    static std::string post(const std::string& url, const Params& params, const std::string& body,
                            const Params& headers, std::chrono::milliseconds connectTimeout,
                            std::chrono::milliseconds replyTimeout);

    // Internal: reads one reply from the bytes received so far, in pieces of any size. Every
    // feed answers whether the reply is complete, needs more bytes, or cannot be a reply. The
    // body is framed by Content-Length, by chunked transfer coding (decoded here), or else by
    // the end of the connection; at most MAX_BODY_BYTES of it are kept.
    class ReplyReader {
    public:
        enum class Status { NeedMore, Done, Error };

        // Takes the next bytes of the reply; ignored once the answer is Done or Error.
        Status feed(const char* data, size_t length);
        // The peer closed the connection: a reply whose header block is complete is done.
        Status finish();
        Status status() const { return m_status; }
        bool headerComplete() const { return m_headerComplete; }
        // What post returns: the body received so far, cut at its first zero byte; empty while
        // the header block is incomplete and after an error.
        std::string result() const;

    private:
        enum class Phase { Header, Sized, UntilClose, ChunkSize, ChunkData, ChunkDataEnd };

        size_t feedHeader(const char* data, size_t length);
        void startBody(const std::string& headerBlock);
        void feedBody(const char* data, size_t length);
        size_t feedSized(const char* data, size_t length);
        size_t feedChunkLine(const char* data, size_t length);
        void endChunkLine();
        void appendBody(const char* data, size_t length);
        void end(Status status);

        Phase m_phase = Phase::Header;
        Status m_status = Status::NeedMore;
        bool m_headerComplete = false;
        std::string m_header;
        std::string m_line;
        std::string m_body;
        uint64_t m_remaining = 0;
    };
};

#endif
