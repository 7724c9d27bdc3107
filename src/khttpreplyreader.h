#ifndef KHTTPREPLYREADER_H
#define KHTTPREPLYREADER_H

#include <cstddef>
#include <cstdint>
#include <string>

// Reads one HTTP reply from the bytes received so far, in pieces of any size. Every feed answers
// whether the reply is complete, needs more bytes, or cannot be a reply. Interim 1xx replies are
// skipped; 204 and 304 end with their header block. Any other body is framed by Content-Length,
// by chunked transfer coding (decoded here), or else by the end of the connection; at most
// MAX_BODY_BYTES of it are kept.
class KHTTPReplyReader {
public:
    enum class Status { NeedMore, Done, Error };

    // Replies are short status texts; anything longer is cut here rather than held in memory.
    static constexpr size_t MAX_BODY_BYTES = size_t{64} * 1024;

    // Takes the next bytes of the reply; ignored once the answer is Done or Error.
    Status feed(const char* data, size_t length);
    // The peer closed the connection: a reply whose header block is complete is done.
    Status finish();
    Status status() const { return m_status; }
    // True once the header block of the final (non-1xx) reply is complete.
    bool headerComplete() const { return m_headerComplete; }
    // The first line of the final reply's header block, once it is complete.
    const std::string& statusLine() const { return m_statusLine; }
    // The body received so far, cut at its first zero byte; empty while the header block is
    // incomplete and after an error.
    std::string result() const;

private:
    enum class Phase { Header, Sized, UntilClose, ChunkSize, ChunkData, ChunkDataEnd };

    size_t feedHeader(const char* data, size_t length);
    void endHeader();
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
    std::string m_statusLine;
    std::string m_line;
    std::string m_body;
    uint64_t m_remaining = 0;
};

#endif
