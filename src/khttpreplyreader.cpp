#include "khttpreplyreader.h"

#include <cstring>

namespace {

// A header block larger than this is not a reply this client can use.
constexpr size_t MAX_HEADER_BYTES = size_t{64} * 1024;
// Chunk size lines are a few hex digits; a longer line means the framing is broken.
constexpr size_t MAX_CHUNK_LINE_BYTES = 1024;
constexpr char HEADER_END[] = "\r\n\r\n";
constexpr size_t HEADER_END_LENGTH = 4;
// Status codes whose replies never carry a body, whatever their headers announce.
constexpr int NO_CONTENT = 204;
constexpr int NOT_MODIFIED = 304;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(const std::string& text, const char* lowerWord) {
    const size_t length = std::strlen(lowerWord);
    if (text.size() != length) return false;
    for (size_t i = 0; i < length; ++i) {
        if (lowerAscii(text[i]) != lowerWord[i]) return false;
    }
    return true;
}

// Header values may carry optional white space on both sides.
std::string trimWhiteSpace(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// A Content-Length value: decimal digits only; huge values saturate, as no more is kept anyway.
bool parseContentLength(const std::string& text, uint64_t& length) {
    if (text.empty()) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (!isDigit(c)) return false;
        if (value < UINT64_MAX / 16) value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    length = value;
    return true;
}

// The three-digit code of a status line "HTTP/x.y NNN reason", or -1 when the line has none.
// Such a reply is still read: its framing then comes from its headers alone.
int statusCode(const std::string& headerBlock) {
    const size_t lineEnd = headerBlock.find_first_of("\r\n");
    const std::string line = headerBlock.substr(0, lineEnd);
    if (line.compare(0, 5, "HTTP/") != 0) return -1;
    const size_t space = line.find(' ');
    if (space == std::string::npos || line.size() < space + 4) return -1;
    int code = 0;
    for (size_t i = space + 1; i < space + 4; ++i) {
        if (!isDigit(line[i])) return -1;
        code = code * 10 + (line[i] - '0');
    }
    if (line.size() > space + 4 && line[space + 4] != ' ') return -1;
    return code;
}

}  // namespace

KHTTPReplyReader::Status KHTTPReplyReader::feed(const char* data, size_t length) {
    if (m_status != Status::NeedMore) return m_status;
    // Several header blocks may arrive in one piece: interim replies before the final one.
    while (!m_headerComplete && length > 0 && m_status == Status::NeedMore) {
        const size_t used = feedHeader(data, length);
        data += used;
        length -= used;
    }
    if (m_headerComplete && m_status == Status::NeedMore && length > 0) feedBody(data, length);
    return m_status;
}

KHTTPReplyReader::Status KHTTPReplyReader::finish() {
    if (m_status == Status::NeedMore) end(m_headerComplete ? Status::Done : Status::Error);
    return m_status;
}

std::string KHTTPReplyReader::result() const {
    if (m_status == Status::Error || !m_headerComplete) return std::string();
    // The reply is handled as text: a zero byte ends it.
    return m_body.substr(0, m_body.find('\0'));
}

// Collects the header block and answers how many of the given bytes belong to it.
size_t KHTTPReplyReader::feedHeader(const char* data, size_t length) {
    const size_t before = m_header.size();
    const size_t room = MAX_HEADER_BYTES + HEADER_END_LENGTH - before;
    m_header.append(data, length < room ? length : room);
    const size_t found =
        m_header.find(HEADER_END, before >= HEADER_END_LENGTH ? before - 3 : 0, HEADER_END_LENGTH);
    if (found == std::string::npos) {
        if (m_header.size() >= MAX_HEADER_BYTES + HEADER_END_LENGTH) end(Status::Error);
        return length;
    }
    const size_t used = found + HEADER_END_LENGTH - before;
    m_header.resize(found);
    endHeader();
    m_header.clear();
    return used;
}

// A complete header block: an interim reply to skip, or the final reply whose body follows.
void KHTTPReplyReader::endHeader() {
    // A zero byte would have ended the reply text before its header block did.
    if (m_header.find('\0') != std::string::npos) {
        m_headerComplete = true;
        end(Status::Error);
        return;
    }
    const int code = statusCode(m_header);
    // An interim reply (such as 100 Continue) is followed by the real one on the same connection.
    if (code >= 100 && code <= 199) return;
    m_headerComplete = true;
    m_statusLine = m_header.substr(0, m_header.find_first_of("\r\n"));
    // These replies end with their header block; waiting for a body would wait for the deadline.
    if (code == NO_CONTENT || code == NOT_MODIFIED) {
        end(Status::Done);
        return;
    }
    startBody(m_header);
}

// Chooses how the body is framed from the transfer coding and length headers.
void KHTTPReplyReader::startBody(const std::string& headerBlock) {
    bool chunked = false, transferCoded = false, sized = false;
    uint64_t contentLength = 0;
    size_t lineStart = headerBlock.find('\n');
    while (lineStart != std::string::npos) {
        const size_t lineEnd = headerBlock.find('\n', lineStart + 1);
        std::string line = headerBlock.substr(lineStart + 1, lineEnd == std::string::npos
                                                                 ? std::string::npos
                                                                 : lineEnd - lineStart - 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            const std::string name = line.substr(0, colon);
            const std::string value = trimWhiteSpace(line.substr(colon + 1));
            if (equalsIgnoringCase(name, "transfer-encoding")) {
                transferCoded = true;
                // Only the last coding frames the message.
                const size_t comma = value.rfind(',');
                const std::string last =
                    trimWhiteSpace(comma == std::string::npos ? value : value.substr(comma + 1));
                chunked = equalsIgnoringCase(last, "chunked");
            } else if (equalsIgnoringCase(name, "content-length") && !sized) {
                sized = parseContentLength(value, contentLength);
            }
        }
        lineStart = lineEnd;
    }
    if (chunked) {
        m_phase = Phase::ChunkSize;
    } else if (sized && !transferCoded) {
        m_phase = Phase::Sized;
        m_remaining = contentLength;
        if (m_remaining == 0) end(Status::Done);
    } else {
        m_phase = Phase::UntilClose;
    }
}

void KHTTPReplyReader::feedBody(const char* data, size_t length) {
    while (length > 0 && m_status == Status::NeedMore) {
        size_t used = length;
        switch (m_phase) {
            case Phase::UntilClose:
                appendBody(data, length);
                break;
            case Phase::Sized:
            case Phase::ChunkData:
                used = feedSized(data, length);
                break;
            case Phase::ChunkSize:
            case Phase::ChunkDataEnd:
                used = feedChunkLine(data, length);
                break;
            case Phase::Header:
                end(Status::Error);
                break;
        }
        data += used;
        length -= used;
    }
}

// Takes the bytes of a body or chunk whose length is known.
size_t KHTTPReplyReader::feedSized(const char* data, size_t length) {
    const size_t used = m_remaining < length ? static_cast<size_t>(m_remaining) : length;
    appendBody(data, used);
    m_remaining -= used;
    if (m_status == Status::NeedMore && m_remaining == 0) {
        if (m_phase == Phase::Sized) {
            end(Status::Done);
        } else {
            m_phase = Phase::ChunkDataEnd;
        }
    }
    return used;
}

// Collects one line of chunk framing and answers how many of the given bytes it took.
size_t KHTTPReplyReader::feedChunkLine(const char* data, size_t length) {
    const void* newline = std::memchr(data, '\n', length);
    const size_t used =
        newline == nullptr ? length : static_cast<size_t>(static_cast<const char*>(newline) - data);
    m_line.append(data, used);
    if (m_line.size() > MAX_CHUNK_LINE_BYTES) {
        end(Status::Error);
        return length;
    }
    if (newline == nullptr) return length;
    endChunkLine();
    m_line.clear();
    return used + 1;
}

// A complete framing line: the empty line after chunk data, or a chunk size with extensions.
void KHTTPReplyReader::endChunkLine() {
    if (!m_line.empty() && m_line.back() == '\r') m_line.pop_back();
    if (m_phase == Phase::ChunkDataEnd) {
        if (!m_line.empty()) {
            end(Status::Error);
        } else {
            m_phase = Phase::ChunkSize;
        }
        return;
    }
    uint64_t size = 0;
    size_t i = 0;
    for (; i < m_line.size() && hexValue(m_line[i]) >= 0; ++i) {
        if (size > (UINT64_MAX >> 4)) {
            end(Status::Error);
            return;
        }
        size = size * 16 + static_cast<uint64_t>(hexValue(m_line[i]));
    }
    while (i < m_line.size() && (m_line[i] == ' ' || m_line[i] == '\t')) ++i;
    if (i == 0 || (i < m_line.size() && m_line[i] != ';')) {
        end(Status::Error);
        return;
    }
    // The last chunk ends the body; trailer fields carry nothing this client needs.
    if (size == 0) {
        end(Status::Done);
        return;
    }
    m_remaining = size;
    m_phase = Phase::ChunkData;
}

void KHTTPReplyReader::appendBody(const char* data, size_t length) {
    const size_t room = MAX_BODY_BYTES - m_body.size();
    m_body.append(data, length < room ? length : room);
    if (m_body.size() >= MAX_BODY_BYTES) end(Status::Done);
}

void KHTTPReplyReader::end(Status status) { m_status = status; }
