#include "khttpreplyreader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Reader = KHTTPReplyReader;

// Every reply is fed whole and one byte at a time; the answers must agree.
struct ReplyCase {
    const char* name;
    std::string reply;
    Reader::Status beforeClose;  // the answer after the last byte, before the peer closes
    std::string result;          // what post would return once the peer has closed
};

std::vector<ReplyCase> replyCases() {
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const std::string big(70000, 'b');
    return {
        {"unframed body ends with the close", ok + "X-A: 1\r\n\r\nsuccess",
         Reader::Status::NeedMore, "success"},
        {"content-length frames the body", ok + "Content-Length: 7\r\n\r\nsuccessEXTRA",
         Reader::Status::Done, "success"},
        {"header names ignore case, values white space", ok + "content-LENGTH: \t7 \r\n\r\nsuccess",
         Reader::Status::Done, "success"},
        {"only the first blank line ends the header",
         ok + "Content-Length: 9\r\n\r\na\r\n\r\nbcdef", Reader::Status::Done, "a\r\n\r\nbcde"},
        {"empty body", ok + "Content-Length: 0\r\n\r\n", Reader::Status::Done, ""},
        {"bad content-length reads to the close", ok + "Content-Length: 7x\r\n\r\nsuccess!",
         Reader::Status::NeedMore, "success!"},
        {"chunked is decoded",
         ok + "Transfer-Encoding: chunked\r\n\r\n3;ext=\"1\"\r\nsuc\r\n4\r\ncess\r\n0\r\n\r\n",
         Reader::Status::Done, "success"},
        {"chunk sizes are hex, either case",
         ok + "Transfer-Encoding: Chunked\r\n\r\nA\r\n0123456789\r\nb\r\nabcdefghijk\r\n0\r\n\r\n",
         Reader::Status::Done, "0123456789abcdefghijk"},
        {"chunked wins over content-length",
         ok + "Content-Length: 3\r\nTransfer-Encoding: gzip, chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n",
         Reader::Status::Done, "abcd"},
        {"close inside a chunk keeps what came", ok + "Transfer-Encoding: chunked\r\n\r\n7\r\nsucc",
         Reader::Status::NeedMore, "succ"},
        {"close before the announced length keeps what came",
         ok + "Content-Length: 100\r\n\r\nsuccess", Reader::Status::NeedMore, "success"},
        {"bad chunk size", ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\nsuccess\r\n0\r\n\r\n",
         Reader::Status::Error, ""},
        {"chunk data not followed by its line end",
         ok + "Transfer-Encoding: chunked\r\n\r\n3\r\nsucXX\r\n0\r\n\r\n", Reader::Status::Error,
         ""},
        {"no header end", ok + "Content-Length: 7\r\nsuccess", Reader::Status::NeedMore, ""},
        {"nothing at all", "", Reader::Status::NeedMore, ""},
        {"a zero byte ends the body", ok + "\r\n" + std::string("succ\0ess", 8),
         Reader::Status::NeedMore, "succ"},
        {"a zero byte in the header spoils the reply", ok + std::string("X: \0\r\n\r\nsuccess", 14),
         Reader::Status::Error, ""},
        {"oversized header", ok + "X: " + big, Reader::Status::Error, ""},
        {"oversized body is cut", ok + "\r\n" + big, Reader::Status::Done,
         big.substr(0, KHTTPReplyReader::MAX_BODY_BYTES)},
        // The status line decides whether a body follows at all.
        {"204 ends with its header block, whatever it announces",
         "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n", Reader::Status::Done, ""},
        {"204 without a reason phrase", "HTTP/1.1 204\r\n\r\n", Reader::Status::Done, ""},
        {"304 ends with its header block and bytes after it are no body",
         "HTTP/1.0 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\nsuccess",
         Reader::Status::Done, ""},
        {"an interim reply is skipped",
         "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Content-Length: 7\r\n\r\nsuccess",
         Reader::Status::Done, "success"},
        {"several interim replies, then one without a body",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 199 Other\r\nX: 1\r\n\r\nHTTP/1.1 204 No\r\n\r\n",
         Reader::Status::Done, ""},
        {"a close after only an interim reply gives nothing",
         "HTTP/1.1 100 Continue\r\n\r\n", Reader::Status::NeedMore, ""},
        {"a close inside the final header after an interim reply gives nothing",
         "HTTP/1.1 100 Continue\r\n\r\n" + ok + "X: 1", Reader::Status::NeedMore, ""},
        {"a code elsewhere than the status line changes nothing",
         ok + "X-Status: 204\r\n\r\nsuccess", Reader::Status::NeedMore, "success"},
        {"a malformed status line leaves the framing to the headers",
         "HTTP/1.1 2040 X\r\nContent-Length: 7\r\n\r\nsuccess", Reader::Status::Done, "success"},
        {"a status line not starting with the protocol name",
         "XTTP/1.1 204 X\r\n\r\nsuccess", Reader::Status::NeedMore, "success"},
        {"oversized chunked body is cut",
         ok + "Transfer-Encoding: chunked\r\n\r\n11170\r\n" + big + "\r\n0\r\n\r\n",
         Reader::Status::Done, big.substr(0, KHTTPReplyReader::MAX_BODY_BYTES)},
    };
}

TEST(KHTTPReplyReaderTest, GivesTheSameAnswerWholeOrByteByByte) {
    for (const ReplyCase& c : replyCases()) {
        Reader whole;
        EXPECT_EQ(whole.feed(c.reply.data(), c.reply.size()), c.beforeClose) << c.name;
        whole.finish();
        EXPECT_EQ(whole.result(), c.result) << c.name;

        Reader pieces;
        Reader::Status status = Reader::Status::NeedMore;
        for (char byte : c.reply) status = pieces.feed(&byte, 1);
        EXPECT_EQ(status, c.beforeClose) << c.name;
        pieces.finish();
        EXPECT_EQ(pieces.result(), c.result) << c.name;
    }
}

TEST(KHTTPReplyReaderTest, OffersTheBodySoFarOnlyAfterTheHeader) {
    Reader reader;
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n";
    reader.feed(head.data(), head.size());
    EXPECT_FALSE(reader.headerComplete());
    EXPECT_EQ(reader.result(), "");
    const std::string rest = "\r\nsucc";
    EXPECT_EQ(reader.feed(rest.data(), rest.size()), Reader::Status::NeedMore);
    EXPECT_TRUE(reader.headerComplete());
    EXPECT_EQ(reader.result(), "succ");
}

}  // namespace
